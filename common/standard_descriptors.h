#pragma once

namespace pcm {

// Stand-ins on /dev/null, so that no descriptor opened later (the audio library's sockets) takes a
// closed one's number and receives what was meant for it. Standard output's stand-in is read-only:
// writing still fails with EBADF. Call before anything opens a descriptor.
void occupyClosedStandardDescriptors();

}  // namespace pcm
