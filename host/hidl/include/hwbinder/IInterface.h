/*
 * Host HIDL runtime: the proxy base of generated interfaces.
 */
#pragma once

#include <hwbinder/Binder.h>

namespace android {
namespace hardware {

class IInterface : public virtual RefBase {
public:
    IInterface();
    static sp<IBinder> asBinder(const IInterface*);
    static sp<IBinder> asBinder(const sp<IInterface>&);

protected:
    ~IInterface() override;
    virtual IBinder* onAsBinder() = 0;
};

template <typename INTERFACE>
class BpInterface : public INTERFACE, public IInterface, public BpHwRefBase {
public:
    explicit BpInterface(const sp<IBinder>& remote) : BpHwRefBase(remote) {}

protected:
    IBinder* onAsBinder() override { return remote(); }
};

}  // namespace hardware
}  // namespace android
