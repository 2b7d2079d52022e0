// Commands run, and commands the host sends again.
//
// A host that misses the acknowledge of a command frame sends the same frame
// again, bSeq included.  When the reader had taken the command, and only the
// line lost its answer, the reader now sees a command it has just run.  The
// host numbers every new command with the next bSeq, so the same bytes twice
// in a row mean a resend.  A reader can treat it in one of two ways
// (Config::resend): run it again, so that a command APDU reaches the card a
// second time, or recognise it and send the previous response again without
// touching the card.
#include "reader_state.h"

namespace kytsim {

// Called with the mutex held; Dispatch may release it while the card works.
void SimReader::State::RunCommand(const Bytes &message, Answer &answer, std::unique_lock<std::mutex> &lock)
{
    bool again = message == lastRunCommand;
    if (again)
        resends++;
    if (again && config.resend == Resend::Replay) {
        answer.response = lastRunResponse;
        return;
    }
    answer.response = Dispatch(message, answer, lock);
    lastRunCommand = message;
    lastRunResponse = answer.response;
}

// The reader ran the command and sent its acknowledge and response, and the
// line lost both.  The reader is where it would be had they arrived: the
// response is the one a repeat request gets, and a speed it confirmed is
// the speed it now listens at.  Called with the mutex held.
void SimReader::State::LoseAfterRun(const Answer &answer)
{
    lastResponseFrame = Frame(answer.response);
    if (answer.newSpeed)
        speed = *answer.newSpeed;
}

} // namespace kytsim
