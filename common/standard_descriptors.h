// The three standard descriptors as a tool finds them at start.
#pragma once

namespace pcm {

// Gives each closed standard descriptor a stand-in on /dev/null, so that no
// descriptor opened later (the audio library's sockets and pipes) takes its
// number and receives what was meant for it. Standard output's stand-in is
// opened read-only, so writing to it still fails with EBADF, as on a closed
// descriptor. Call first, before anything opens a descriptor.
void occupyClosedStandardDescriptors();

}  // namespace pcm
