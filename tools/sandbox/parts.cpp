#include "parts.h"

#include <cstdlib>

#include <limits.h>
#include <unistd.h>

namespace kytsandbox {

namespace {

bool Executable(const std::string &path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

bool Readable(const std::string &path)
{
    return !path.empty() && access(path.c_str(), R_OK) == 0;
}

// The folder kyt_sandbox's own program lies in.
std::string OwnFolder()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

// pcscd lies in /usr/sbin, which an ordinary user's PATH often lacks.
std::string FindPcscd()
{
    const char *variable = std::getenv("PATH");
    std::string path = variable ? variable : "";
    path += ":/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string folder = path.substr(start, end - start);
        if (!folder.empty() && Executable(folder + "/pcscd"))
            return folder + "/pcscd";
        start = end + 1;
    }
    return "";
}

} // namespace

bool FindParts(const Options &options, Parts *parts, std::string *error)
{
    // Built, the folder holds kyt_sandbox with the build tree's kyt_sim and
    // driver at these places relative to it; installed, it does not.
    std::string own = OwnFolder();
    std::string builtSim = own + "/" KYT_SANDBOX_BUILT_SIM;
    std::string builtHandler = own + "/" KYT_SANDBOX_BUILT_HANDLER;
    bool built = !own.empty() && Executable(builtSim) && Readable(builtHandler);

    parts->sim = !options.sim.empty() ? options.sim : built ? builtSim : KYT_SANDBOX_SIM;
    parts->handler = !options.handler.empty() ? options.handler : built ? builtHandler : KYT_SANDBOX_HANDLER;
    parts->pcscd = !options.pcscd.empty() ? options.pcscd : FindPcscd();
    parts->usbDrivers = KYT_SANDBOX_USB_DRIVERS;
    if (!Executable(parts->sim)) {
        *error = "the simulated reader " + parts->sim + " is missing: install kyt-tools";
        return false;
    }
    if (!Readable(parts->handler)) {
        *error = "the PC/SC driver " + parts->handler + " is missing: install libifdkyt";
        return false;
    }
    if (!Executable(parts->pcscd)) {
        *error = options.pcscd.empty() ? std::string("pcscd is not installed: install the pcscd package")
                                       : "pcscd " + options.pcscd + " cannot be run";
        return false;
    }
    // A relative path would mean something else to pcscd and kyt_sim.
    for (std::string *path : {&parts->sim, &parts->handler, &parts->pcscd}) {
        char resolved[PATH_MAX];
        if (realpath(path->c_str(), resolved))
            *path = resolved;
    }
    return true;
}

} // namespace kytsandbox
