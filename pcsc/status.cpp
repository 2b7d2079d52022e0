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
        return PortGone(status, port) ? IFD_NO_SUCH_DEVICE : IFD_COMMUNICATION_ERROR;
    }
}

} // namespace ifdkyt
