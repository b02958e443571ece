/*
 * hwservicemanager: the HIDL instances the device's VINTF manifests declare.
 */
#pragma once

#include <string>
#include <vector>

namespace android {
namespace hidl {
namespace manager {
namespace implementation {

enum class DeclaredTransport { NONE, HWBINDER, PASSTHROUGH };

struct DeclaredInstance {
    std::string package;  // "vendor.zyr.hardware.twinel"
    size_t major = 0;
    size_t minor = 0;       // declares every minor version up to this one
    std::string interface;  // "ITwinel"
    std::string instance;   // "default"
    DeclaredTransport transport = DeclaredTransport::NONE;
};

// Parses the <hal format="hidl"> entries of one manifest's text; entries of
// other formats and malformed ones are skipped.
std::vector<DeclaredInstance> parseManifest(const std::string& xml);

// Reads the device and framework manifests ("/vendor/etc/vintf/manifest.xml",
// "/vendor/etc/vintf/manifest/*.xml" and the same under "/system") on every
// call, so that a manifest installed after start-up counts at once.
std::vector<DeclaredInstance> readManifests();

// How fqName ("pkg@M.m::IFoo") / instance is declared, NONE when it is not.
DeclaredTransport declaredTransport(const std::vector<DeclaredInstance>& all,
                                    const std::string& fqName, const std::string& instance);

// The instances of fqName the manifests declare, sorted, without repeats.
std::vector<std::string> declaredInstances(const std::vector<DeclaredInstance>& all,
                                           const std::string& fqName);

}  // namespace implementation
}  // namespace manager
}  // namespace hidl
}  // namespace android
