#include "status.h"

#include <errno.h>
#include <sys/stat.h>

namespace ifdkyt {

bool IsLinkFailure(KYT_STATUS status)
{
    switch (status) {
    case KYT_SUCCESS:
    case KYT_ERR_REMOVED_CARD:
    case KYT_ERR_UNRESPONSIVE_CARD:
    case KYT_ERR_UNPOWERED_CARD:
    case KYT_ERR_UNSUPPORTED_CARD:
    case KYT_ERR_PROTO_MISMATCH:
    case ENOMEDIUM:
    case EMEDIUMTYPE:
    case ETIMEDOUT: // the reader reports a card that does not answer
    case E2BIG:
    case EINVAL:
    case ENOMEM:
        return false;
    default:
        return true;
    }
}

bool PortGone(KYT_STATUS status, const char *port)
{
    if (status == ENODEV || status == ENXIO || status == ENOENT)
        return true;
    struct stat info;
    return stat(port, &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

RESPONSECODE MapStatus(KYT_STATUS status, Op op, const char *port)
{
    // A reader that cannot be opened is no card's fault.
    if (op == Op::Open && status != KYT_SUCCESS)
        return PortGone(status, port) ? IFD_NO_SUCH_DEVICE : IFD_COMMUNICATION_ERROR;
    switch (status) {
    case KYT_SUCCESS:
        return IFD_SUCCESS;
    case KYT_ERR_REMOVED_CARD:
    case ENOMEDIUM:
        return IFD_ICC_NOT_PRESENT;
    case KYT_ERR_UNRESPONSIVE_CARD:
    case ETIMEDOUT:
        return op == Op::Power ? IFD_ERROR_POWER_ACTION : IFD_RESPONSE_TIMEOUT;
    case KYT_ERR_UNPOWERED_CARD:
        return IFD_ERROR_POWER_ACTION;
    case KYT_ERR_UNSUPPORTED_CARD:
    case EMEDIUMTYPE:
        if (op == Op::Power)
            return IFD_ERROR_POWER_ACTION;
        if (op == Op::Protocol)
            return IFD_ERROR_PTS_FAILURE;
        return IFD_COMMUNICATION_ERROR;
    case KYT_ERR_PROTO_MISMATCH:
        return IFD_PROTOCOL_NOT_SUPPORTED;
    case E2BIG:
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    case EINVAL:
        return op == Op::Control ? IFD_NOT_SUPPORTED : IFD_COMMUNICATION_ERROR;
    default:
        // pcscd answers IFD_NO_SUCH_DEVICE with a hotplug rescan and a
        // second's sleep in the caller's thread: it is for a port that has
        // no device behind it when the reader is opened, not for a reader
        // that may answer again.
        return IFD_COMMUNICATION_ERROR;
    }
}

const char *ResponseName(RESPONSECODE rv)
{
    switch (rv) {
    case IFD_SUCCESS:
        return "IFD_SUCCESS";
    case IFD_ERROR_TAG:
        return "IFD_ERROR_TAG";
    case IFD_ERROR_VALUE_READ_ONLY:
        return "IFD_ERROR_VALUE_READ_ONLY";
    case IFD_ERROR_PTS_FAILURE:
        return "IFD_ERROR_PTS_FAILURE";
    case IFD_ERROR_NOT_SUPPORTED:
        return "IFD_ERROR_NOT_SUPPORTED";
    case IFD_PROTOCOL_NOT_SUPPORTED:
        return "IFD_PROTOCOL_NOT_SUPPORTED";
    case IFD_ERROR_POWER_ACTION:
        return "IFD_ERROR_POWER_ACTION";
    case IFD_COMMUNICATION_ERROR:
        return "IFD_COMMUNICATION_ERROR";
    case IFD_RESPONSE_TIMEOUT:
        return "IFD_RESPONSE_TIMEOUT";
    case IFD_NOT_SUPPORTED:
        return "IFD_NOT_SUPPORTED";
    case IFD_ICC_PRESENT:
        return "IFD_ICC_PRESENT";
    case IFD_ICC_NOT_PRESENT:
        return "IFD_ICC_NOT_PRESENT";
    case IFD_NO_SUCH_DEVICE:
        return "IFD_NO_SUCH_DEVICE";
    case IFD_ERROR_INSUFFICIENT_BUFFER:
        return "IFD_ERROR_INSUFFICIENT_BUFFER";
    default:
        return "IFD_?";
    }
}

} // namespace ifdkyt
