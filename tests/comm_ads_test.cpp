#include "comm_ads.h"
#include "module.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

using vantrel::com_ptr;
using test::make_comm_ads;

namespace {

struct timing_property {
    const char* name;
    HRESULT (STDMETHODCALLTYPE ICommAds::*get)(LONG*);
    HRESULT (STDMETHODCALLTYPE ICommAds::*put)(LONG);
    LONG default_value;
};

const timing_property timing_properties[] = {
    {"ClockRate", &ICommAds::get_ClockRate, &ICommAds::put_ClockRate, 10},
    {"StandByDuration", &ICommAds::get_StandByDuration, &ICommAds::put_StandByDuration, 200},
    {"ResetDuration", &ICommAds::get_ResetDuration, &ICommAds::put_ResetDuration, 10},
};

}  // namespace

TEST(TimingProperties, NewInstanceHasTheDefaults) {
    auto object = make_comm_ads();
    for (const auto& p : timing_properties) {
        LONG value = 0x5eadbeef;
        EXPECT_EQ(S_OK, (object.get()->*p.get)(&value)) << p.name;
        EXPECT_EQ(p.default_value, value) << p.name;
    }
}

TEST(TimingProperties, EveryValueRoundTripsExactly) {
    auto object = make_comm_ads();
    for (const auto& p : timing_properties) {
        for (LONG written : {0L, 1L, -1L, LONG(INT_MIN), LONG(INT_MAX), 1030L}) {
            EXPECT_EQ(S_OK, (object.get()->*p.put)(written)) << p.name << " = " << written;
            LONG read = 0x5eadbeef;
            EXPECT_EQ(S_OK, (object.get()->*p.get)(&read)) << p.name;
            EXPECT_EQ(written, read) << p.name;
        }
    }
}

TEST(TimingProperties, PropertiesAreIndependentAndPerInstance) {
    auto a = make_comm_ads();
    auto b = make_comm_ads();
    ASSERT_EQ(S_OK, a->put_ClockRate(3));
    ASSERT_EQ(S_OK, a->put_StandByDuration(4));
    LONG clock = 0, standby = 0, reset = 0, other = 0;
    a->get_ClockRate(&clock);
    a->get_StandByDuration(&standby);
    a->get_ResetDuration(&reset);
    b->get_ClockRate(&other);
    EXPECT_EQ(3, clock);
    EXPECT_EQ(4, standby);
    EXPECT_EQ(10, reset);
    EXPECT_EQ(10, other);
}

TEST(TimingProperties, ReadWithoutResultPointerFails) {
    auto object = make_comm_ads();
    for (const auto& p : timing_properties) {
        EXPECT_EQ(E_POINTER, (object.get()->*p.get)(nullptr)) << p.name;
    }
}

TEST(QueryInterface, IdentityFacesAndRefusals) {
    auto object = make_comm_ads();
    com_ptr<IUnknown> unknown;
    com_ptr<IDispatch> dispatch;
    com_ptr<ICommAds> commads;
    com_ptr<ISupportErrorInfo> support;
    com_ptr<IMarshal> marshal;
    ASSERT_EQ(S_OK, object.as(unknown));
    ASSERT_EQ(S_OK, object.as(dispatch));
    ASSERT_EQ(S_OK, object.as(commads));
    ASSERT_EQ(S_OK, object.as(support));
    EXPECT_EQ(S_OK, object.as(marshal));
    EXPECT_NE(nullptr, marshal.get());

    EXPECT_EQ(static_cast<void*>(object.get()), static_cast<void*>(unknown.get()));
    EXPECT_EQ(static_cast<void*>(object.get()), static_cast<void*>(dispatch.get()));
    EXPECT_EQ(static_cast<void*>(object.get()), static_cast<void*>(commads.get()));
    EXPECT_NE(static_cast<void*>(object.get()), static_cast<void*>(support.get()));

    // Every face leads back to the same identity.
    com_ptr<IUnknown> from_support;
    ASSERT_EQ(S_OK, support.as(from_support));
    EXPECT_EQ(static_cast<void*>(object.get()), static_cast<void*>(from_support.get()));
    com_ptr<IUnknown> from_marshal;
    ASSERT_EQ(S_OK, marshal.as(from_marshal));
    EXPECT_EQ(static_cast<void*>(object.get()), static_cast<void*>(from_marshal.get()));

    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(GUID_NULL, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
}

TEST(SupportErrorInfo, OnlyICommAdsPublishesRecords) {
    auto object = make_comm_ads();
    com_ptr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, object.as(support));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_ICommAds));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IUnknown));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(GUID_NULL));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_ISupportErrorInfo));
}

TEST(Lifetime, ReferenceCountsBalanceAndTheLastReleaseDestroysOnce) {
    const LONG before = vantrel::module::lock_count();
    ICommAds* raw = nullptr;
    ASSERT_EQ(S_OK, vantrel::CommAds::create_instance(nullptr, IID_ICommAds, reinterpret_cast<void**>(&raw)));
    EXPECT_EQ(before + 1, vantrel::module::lock_count());
    EXPECT_EQ(2u, raw->AddRef());
    EXPECT_EQ(3u, raw->AddRef());
    EXPECT_EQ(2u, raw->Release());
    EXPECT_EQ(1u, raw->Release());
    EXPECT_EQ(before + 1, vantrel::module::lock_count());
    EXPECT_EQ(0u, raw->Release());
    EXPECT_EQ(before, vantrel::module::lock_count());
}

TEST(Lifetime, ReferencesThroughOtherFacesKeepTheObjectAlive) {
    const LONG before = vantrel::module::lock_count();
    com_ptr<ISupportErrorInfo> support;
    {
        auto object = make_comm_ads();
        ASSERT_EQ(S_OK, object.as(support));
    }
    EXPECT_EQ(before + 1, vantrel::module::lock_count());
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_ICommAds));
    support.reset();
    EXPECT_EQ(before, vantrel::module::lock_count());
}

TEST(Lifetime, FailedCreationLeavesNothingBehind) {
    const LONG before = vantrel::module::lock_count();
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, vantrel::CommAds::create_instance(nullptr, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(before, vantrel::module::lock_count());

    auto outer = make_comm_ads();
    for (const IID* iid : {&IID_IUnknown, &IID_ICommAds}) {
        out = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, vantrel::CommAds::create_instance(outer.get(), *iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(before + 1, vantrel::module::lock_count());
    EXPECT_EQ(E_POINTER, vantrel::CommAds::create_instance(nullptr, IID_ICommAds, nullptr));
}

TEST(ObjectLock, IsReentrantOnTheOwningThread) {
    auto object = make_comm_ads();
    auto* impl = static_cast<vantrel::CommAds*>(object.get());
    vantrel::lock_guard outer(impl->object_lock());
    vantrel::lock_guard inner(impl->object_lock());
    EXPECT_EQ(S_OK, object->put_ResetDuration(7));
    LONG value = 0;
    EXPECT_EQ(S_OK, object->get_ResetDuration(&value));
    EXPECT_EQ(7, value);
}

// The lock is a critical section, whose lock count changes when a second thread starts to wait
// on it: that is the state waited for before the holder writes and leaves.
TEST(ObjectLock, ExcludesASecondThreadUntilTheHolderLeaves) {
    auto object = make_comm_ads();
    auto* impl = static_cast<vantrel::CommAds*>(object.get());
    static_assert(std::is_standard_layout_v<vantrel::critical_section>);
    auto& section = *reinterpret_cast<CRITICAL_SECTION*>(&impl->object_lock());
    auto lock_count = [&] { return static_cast<volatile LONG&>(section.LockCount); };
    std::mutex m;
    std::vector<std::string> order;
    auto note = [&](const char* event) {
        std::lock_guard<std::mutex> g(m);
        order.push_back(event);
    };

    LONG seen = 0;
    std::atomic<bool> returned{false};
    impl->object_lock().enter();
    const LONG held_alone = lock_count();
    std::thread reader([&] {
        object->get_ClockRate(&seen);
        note("read returned");
        returned = true;
    });
    // Bounded, and cut short by a read that does not wait at all.
    for (int i = 0; i < 30000 && lock_count() == held_alone && !returned; ++i) Sleep(1);
    EXPECT_NE(held_alone, lock_count()) << "the reader never waited on the object lock";
    EXPECT_EQ(S_OK, object->put_ClockRate(42));
    note("holder leaves");
    impl->object_lock().leave();
    reader.join();

    EXPECT_EQ(42, seen) << "the read ran while another thread held the object lock";
    EXPECT_EQ((std::vector<std::string>{"holder leaves", "read returned"}), order);
}
