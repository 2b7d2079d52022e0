// Every kind of fault the reader injects, named once.  Each entry gives the
// FaultKind, its count in Faults, the name kyt_sim knows it by (--fault,
// fault, inject) and what the host sees of it, with the library's retries;
// the enum, the counts FaultPlan keeps and kyt_sim's names derive from it.
//
// Each kind strikes on occasions of its own: the acknowledge kinds (ack-late
// aside) on command frames, the response kinds and ack-late on response frames
// (repeats included), ResponseWithheld on processed commands, RepeatIgnored
// on repeat requests.
#ifndef KYT_SIM_FAULT_KINDS_H
#define KYT_SIM_FAULT_KINDS_H

// X(kind, count in Faults, name, what the host sees), in the order of the kinds.
#define KYT_SIM_FAULT_KINDS(X)                                                                                         \
    X(AckLost, dropAcks, "ack-lost",                                                                                   \
      "no acknowledge and no response, the command not run: the host waits out its acknowledge timeout "               \
      "and sends the command again")                                                                                   \
    X(AckRefused, refuseAcks, "ack-refused",                                                                           \
      "the acknowledge 02 01 01 03, the command not run: the host sends it again at once")                             \
    X(AckDamaged, damageAckChecksum, "ack-damaged",                                                                    \
      "an acknowledge with a wrong checksum (02 00 01 03), the command not run: the host sends it again at "           \
      "once")                                                                                                          \
    X(AckLostAfterRun, lostAfterRun, "ack-lost-after-run",                                                             \
      "the command is run, then its acknowledge and response are lost: the host waits out its acknowledge "            \
      "timeout and sends it again, which --resend runs again or answers with the previous response")                   \
    X(AckLate, lateAcks, "ack-late",                                                                                   \
      "a damaged acknowledge right behind the response frame, in the same write: the frame reads too long, "           \
      "and the host asks for it again")                                                                                \
    X(ResponseDamaged, damageResponses, "response-damaged",                                                            \
      "a response frame with a wrong checksum: the host asks for it again (repeat request)")                           \
    X(ResponseTruncated, truncateResponses, "response-truncated",                                                      \
      "only the first half of the response frame: the host waits out its response timeout and asks for it "            \
      "again")                                                                                                         \
    X(ResponsePadded, trailingBytes, "response-padded",                                                                \
      "one stray byte after the response frame: the frame reads too long, and the host asks for it again")             \
    X(ResponseSplit, splitResponses, "response-split",                                                                 \
      "the response frame in three pieces with --split-pause between them: the host sees nothing amiss when "          \
      "the pause is shorter than its response timeout, else a truncated frame and stray bytes")                        \
    X(ResponseWithheld, silentAfterAck, "response-withheld",                                                           \
      "the acknowledge, but the response only on a repeat request: the host waits out its response timeout "           \
      "and asks for it")                                                                                               \
    X(RepeatIgnored, ignoreRepeats, "repeat-ignored",                                                                  \
      "a repeat request gets no answer: the host waits out its response timeout once more")

#endif
