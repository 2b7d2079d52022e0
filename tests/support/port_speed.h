// A port's line speed in bit/s as the kernel itself reports it, so that a
// test learns what the line runs at without a speed table of its own.
#ifndef KYT_TESTS_PORT_SPEED_H
#define KYT_TESTS_PORT_SPEED_H

#include <cstdint>

namespace rig {

// The output and input speeds of the terminal `fd` in bit/s (termios2's
// c_ospeed and c_ispeed, which Linux fills for every speed, not only for
// BOTHER); false where the kernel or architecture has no TCGETS2.
bool KernelSpeeds(int fd, uint32_t *output, uint32_t *input);

} // namespace rig

#endif
