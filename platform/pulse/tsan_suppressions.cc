// libpulse hands some of its mutexes to its event thread through lock-free handshakes in
// uninstrumented code, so the first lock looks like a race with the allocation. A report on this
// project's data has no libpulse mutex call in its stacks.
extern "C" const char* __tsan_default_suppressions() {
  return "race:pa_mutex_lock\n"
         "race:pa_mutex_unlock\n";
}
