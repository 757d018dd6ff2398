// Named callback objects: create or open, permanence, several routines, notification order, and
// unregistration while a notification runs.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/machine.h"
#include "host/ob/callback_objects.h"

namespace {

constexpr std::u16string_view kName = u"\\Callback\\TestSiblings";
constexpr auto kHangGuard = std::chrono::seconds(30);

struct Opened {
    NTSTATUS status;
    PCALLBACK_OBJECT object;
};

Opened create(std::u16string_view name, bool create, ULONG attributes, bool allowMultiple = true) {
    std::u16string text(name);
    UNICODE_STRING unicode{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                           text.data()};
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &unicode, attributes, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    const NTSTATUS status = ExCreateCallback(&object, &objectAttributes, create ? TRUE : FALSE,
                                             allowMultiple ? TRUE : FALSE);
    return {status, object};
}

// Records each call as "<context>:<argument1>".
std::mutex callsMutex;
std::vector<std::string> calls;
CALLBACK_FUNCTION Record;
void Record(PVOID context, PVOID argument1, PVOID) {
    std::lock_guard lock(callsMutex);
    calls.push_back(std::string(static_cast<const char*>(context)) + ":" +
                    std::to_string(reinterpret_cast<std::uintptr_t>(argument1)));
}

class CallbackObjects : public testing::Test {
protected:
    CallbackObjects() { calls.clear(); }
    host::Machine machine_;
};

TEST_F(CallbackObjects, CreateOpensWhatExistsAndOpenAloneNeedsIt) {
    EXPECT_EQ(create(kName, false, OBJ_CASE_INSENSITIVE).status, STATUS_OBJECT_NAME_NOT_FOUND);
    const Opened first = create(kName, true, OBJ_CASE_INSENSITIVE);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    const Opened again = create(u"\\CALLBACK\\testsiblings", true, OBJ_CASE_INSENSITIVE);
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.object, first.object);
    EXPECT_EQ(create(u"NoBackslash", true, OBJ_CASE_INSENSITIVE).status, STATUS_OBJECT_NAME_INVALID);
    ObfDereferenceObject(again.object);
    ObfDereferenceObject(first.object);
    // Not permanent: gone with its last reference.
    EXPECT_EQ(create(kName, false, OBJ_CASE_INSENSITIVE).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(machine_.objects().liveObjects(), 0u);

    machine_.faults().failCall(host::FaultSite::CallbackCreate, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(create(kName, true, OBJ_CASE_INSENSITIVE).status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(CallbackObjects, APermanentObjectOutlivesItsLastReference) {
    const Opened created = create(kName, true, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT);
    ASSERT_EQ(created.status, STATUS_SUCCESS);
    ObfDereferenceObject(created.object);
    const Opened reopened = create(kName, false, OBJ_CASE_INSENSITIVE);
    ASSERT_EQ(reopened.status, STATUS_SUCCESS);
    EXPECT_EQ(reopened.object, created.object);
    ObfDereferenceObject(reopened.object);
}

TEST_F(CallbackObjects, NotifyCallsEveryRoutineInRegistrationOrder) {
    const Opened object = create(kName, true, OBJ_CASE_INSENSITIVE);
    ASSERT_EQ(object.status, STATUS_SUCCESS);
    PVOID a = ExRegisterCallback(object.object, Record, const_cast<char*>("a"));
    PVOID b = ExRegisterCallback(object.object, Record, const_cast<char*>("b"));
    PVOID c = ExRegisterCallback(object.object, Record, const_cast<char*>("c"));
    ASSERT_TRUE(a && b && c);
    // The registrations keep the object alive without the creator's reference.
    ObfDereferenceObject(object.object);
    ExNotifyCallback(object.object, reinterpret_cast<PVOID>(1), nullptr);
    ExUnregisterCallback(b);
    EXPECT_EQ(host::notifyCallbackByName(machine_.objects(), kName, reinterpret_cast<PVOID>(2), nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(calls, (std::vector<std::string>{"a:1", "b:1", "c:1", "a:2", "c:2"}));
    EXPECT_EQ(host::callbackRegistrations(machine_.objects(), kName), 2u);
    ExUnregisterCallback(a);
    ExUnregisterCallback(c);
    EXPECT_EQ(host::notifyCallbackByName(machine_.objects(), kName, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(machine_.objects().liveObjects(), 0u);
}

TEST_F(CallbackObjects, RegistrationsThatAreRefused) {
    const Opened single = create(kName, true, OBJ_CASE_INSENSITIVE, /*allowMultiple=*/false);
    ASSERT_EQ(single.status, STATUS_SUCCESS);
    PVOID first = ExRegisterCallback(single.object, Record, const_cast<char*>("a"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ExRegisterCallback(single.object, Record, const_cast<char*>("b")), nullptr);
    ExUnregisterCallback(first);
    machine_.faults().failCall(host::FaultSite::CallbackRegister, 1);
    EXPECT_EQ(ExRegisterCallback(single.object, Record, const_cast<char*>("a")), nullptr);
    EXPECT_EQ(ExRegisterCallback(single.object, nullptr, nullptr), nullptr);
    ObfDereferenceObject(single.object);
    EXPECT_EQ(machine_.objects().liveObjects(), 0u);
}

// A routine that blocks inside a notification until the test lets it go.
struct Blocker {
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false, release = false;
    std::atomic<bool> unregistered{false};
    bool unregisteredWhileInside = false;
};

CALLBACK_FUNCTION BlockingRoutine;
void BlockingRoutine(PVOID context, PVOID, PVOID) {
    auto* blocker = static_cast<Blocker*>(context);
    std::unique_lock lock(blocker->mutex);
    blocker->inside = true;
    blocker->changed.notify_all();
    blocker->changed.wait_for(lock, kHangGuard, [&] { return blocker->release; });
    blocker->unregisteredWhileInside = blocker->unregistered.load();
}

TEST_F(CallbackObjects, UnregisterWaitsForARunningCallOfItsRoutine) {
    const Opened object = create(kName, true, OBJ_CASE_INSENSITIVE);
    ASSERT_EQ(object.status, STATUS_SUCCESS);
    Blocker blocker;
    PVOID blocking = ExRegisterCallback(object.object, BlockingRoutine, &blocker);
    PVOID after = ExRegisterCallback(object.object, Record, const_cast<char*>("after"));
    std::thread notifier([&] { ExNotifyCallback(object.object, reinterpret_cast<PVOID>(7), nullptr); });
    {
        std::unique_lock lock(blocker.mutex);
        ASSERT_TRUE(blocker.changed.wait_for(lock, kHangGuard, [&] { return blocker.inside; }));
    }
    // A routine unregistered while the notification runs is not called by it any more.
    ExUnregisterCallback(after);
    std::thread unregisterer([&] {
        ExUnregisterCallback(blocking);
        blocker.unregistered = true;
    });
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    {
        std::lock_guard lock(blocker.mutex);
        blocker.release = true;
        blocker.changed.notify_all();
    }
    unregisterer.join();
    notifier.join();
    EXPECT_FALSE(blocker.unregisteredWhileInside);
    EXPECT_TRUE(calls.empty());
    ObfDereferenceObject(object.object);
    EXPECT_EQ(machine_.objects().liveObjects(), 0u);
}

PVOID selfRegistration = nullptr;
CALLBACK_FUNCTION UnregistersItself;
void UnregistersItself(PVOID context, PVOID argument1, PVOID argument2) {
    ExUnregisterCallback(selfRegistration);
    Record(context, argument1, argument2);
}

TEST_F(CallbackObjects, ARoutineMayUnregisterItself) {
    const Opened object = create(kName, true, OBJ_CASE_INSENSITIVE);
    ASSERT_EQ(object.status, STATUS_SUCCESS);
    selfRegistration = ExRegisterCallback(object.object, UnregistersItself, const_cast<char*>("self"));
    ExNotifyCallback(object.object, reinterpret_cast<PVOID>(1), nullptr);
    ExNotifyCallback(object.object, reinterpret_cast<PVOID>(2), nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"self:1"}));
    ObfDereferenceObject(object.object);
    EXPECT_EQ(machine_.objects().liveObjects(), 0u);
}

}  // namespace
