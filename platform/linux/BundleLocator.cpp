#include "platform/linux/BundleLocator.h"

namespace tessary {

MainBundle BundleLocator::running()
{
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return MainBundle("/opt/tessary", "/opt/tessary/Contents/bin/PellixApp");
    // .../Tessary/Contents/bin/PellixApp -> .../Tessary
    auto bundle = executable.parent_path().parent_path().parent_path();
    return MainBundle(bundle, executable);
}

}  // namespace tessary
