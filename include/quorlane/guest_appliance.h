#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "quorlane/guest_fs.h"
#include "quorlane/logging.h"

namespace quorlane {

// How long the appliance may take to start before it is killed.
inline constexpr std::chrono::minutes kApplianceStartLimit{10};

// What decides how the appliance runs on this host.
struct ApplianceHost {
  bool settingsGiven = false;  // the operator set LIBGUESTFS_BACKEND_SETTINGS
  bool kvmRunsLinux = false;   // /dev/kvm opens, and it is no software KVM (kvm_pvm)
  bool backendGiven = false;   // the operator set LIBGUESTFS_BACKEND
  bool root = false;
  bool libvirtAnswers = false;  // the system libvirt daemon's socket takes a connection
};

// Whether the appliance must run under plain emulation (TCG): libguestfs
// tries KVM whenever /dev/kvm opens, and an appliance kernel that KVM cannot
// run never boots. An operator's own backend settings are left alone.
bool forceEmulation(const ApplianceHost& host);

// Whether the appliance runs under libvirt, which confines its QEMU as it
// does every VM's (its own user, its security labels), rather than as a
// child of this root process. An operator's own backend is left alone.
bool confineUnderLibvirt(const ApplianceHost& host);

ApplianceHost probeApplianceHost();

// The libguestfs appliance on this host's disk images: read-only drives
// with a throwaway overlay, no network, started within kApplianceStartLimit.
std::unique_ptr<GuestFs> openGuestAppliance(Logger& log);

}  // namespace quorlane
