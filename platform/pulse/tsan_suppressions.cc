// ThreadSanitizer's built-in suppressions for programs on the audio client
// library. libpulse hands some of its own mutexes from the thread that creates
// them to its event thread through lock-free handshakes in uninstrumented code,
// which ThreadSanitizer cannot see; the first lock then looks like a race with
// the allocation. Only reports on those mutexes themselves are dropped: any
// report on this project's data has no libpulse mutex call in its stacks.
extern "C" const char* __tsan_default_suppressions() {
  return "race:pa_mutex_lock\n"
         "race:pa_mutex_unlock\n";
}
