// A pseudo-terminal for a test that plays one end of a serial line: the
// test reads and writes the master, the other side opens the slave path as
// its serial port.
#ifndef KYT_TESTS_PTY_LINE_H
#define KYT_TESTS_PTY_LINE_H

#include <string>

namespace rig {

struct PtyLine {
    int master = -1;      // non-blocking
    int slaveKeeper = -1; // the slave, held open in raw mode so that the line
                          // stays up before and between the opens of others
    std::string slavePath;
};

// Opens a new pty pair into *line; false (with what was opened closed again)
// when it cannot.
bool OpenPtyLine(PtyLine *line);
void ClosePtyLine(PtyLine *line);

// Raw mode at 9600 bit/s on a terminal descriptor.
bool MakeRaw(int fd);

} // namespace rig

#endif
