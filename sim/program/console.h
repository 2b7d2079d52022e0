// kyt_sim's command channel: a thread that reads command lines from standard
// input and answers each on standard output, until the input ends or the
// program stops it.  The end of the input ends only this channel, not the
// reader.
#ifndef KYT_SIM_CONSOLE_H
#define KYT_SIM_CONSOLE_H

#include <string>
#include <thread>

#include "sim_reader.h"

namespace kytsim::program {

class Console {
public:
    // `slots`: the number of slots the model has.
    Console(SimReader &reader, unsigned slots);
    ~Console(); // stops the thread
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // Starts the thread; false (with the reason in *error) when it cannot.
    bool Start(std::string *error);
    // Wakes the thread and joins it, also while it waits for input or for
    // room to write an answer that nobody reads.
    void Stop();

private:
    void Run();
    bool Answer(const std::string &line);
    bool Write(const std::string &text);
    bool WaitFor(int fd, short events);

    SimReader &reader_;
    unsigned slots_;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace kytsim::program

#endif
