/*
 * Host HIDL runtime: process-wide tables the generated code registers into.
 */
#pragma once

#include <android/hidl/base/1.0/IBase.h>
#include <hidl/ConcurrentMap.h>
#include <hidl/HidlTransportUtils.h>
#include <hwbinder/Binder.h>
#include <sched.h>
#include <utils/StrongPointer.h>

#include <functional>
#include <string>

namespace android {
namespace hardware {

class BHwBinder;

namespace details {

struct SchedPrio {
    int sched_policy;
    int prio;
};

using IBase = ::android::hidl::base::V1_0::IBase;

using BnConstructorMap = ConcurrentMap<std::string, std::function<sp<IBinder>(void*)>>;
BnConstructorMap& getBnConstructorMap();

using BsConstructorMap = ConcurrentMap<std::string, std::function<sp<IBase>(void*)>>;
BsConstructorMap& getBsConstructorMap();

using DoubleKeyedMapPointer = DoubleKeyedConcurrentMap<SchedPrio>*;
using DoubleKeyedBoolMapPointer = DoubleKeyedConcurrentMap<bool>*;
extern DoubleKeyedMapPointer gServicePrioMap;
extern DoubleKeyedBoolMapPointer gServiceSidMap;

// Stubs of local objects, so one object always has one stub.
using BnMapPointer = ConcurrentMap<const IBase*, wp<BHwBinder>>*;
extern BnMapPointer gBnMap;

}  // namespace details
}  // namespace hardware
}  // namespace android
