// Listing system and physical stores through a Java callback object: what
// each call of "callback" receives, how its answer steers the platform,
// and what happens when the method is missing or throws.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "store_support.h"
#include "windows/crypt32_callbacks.h"

namespace {

// What the platform itself reports, through a callback of the test's own.
struct PlatformListing {
    std::vector<std::u16string> names;
    BOOL result = FALSE;
    DWORD error = 0;
    size_t stop_after = SIZE_MAX;
};

BOOL WINAPI CountSystem(const void *store, DWORD flags, PCERT_SYSTEM_STORE_INFO, void *, void *arg) {
    PlatformListing *listing = static_cast<PlatformListing *>(arg);
    if (!(flags & CERT_SYSTEM_STORE_RELOCATE_FLAG) && store != nullptr)
        listing->names.push_back(reinterpret_cast<const char16_t *>(store));
    return listing->names.size() < listing->stop_after;
}

BOOL WINAPI CountPhysical(const void *, DWORD, LPCWSTR name, PCERT_PHYSICAL_STORE_INFO, void *, void *arg) {
    PlatformListing *listing = static_cast<PlatformListing *>(arg);
    listing->names.push_back(name != nullptr ? reinterpret_cast<const char16_t *>(name) : u"");
    return listing->names.size() < listing->stop_after;
}

PlatformListing ListSystemStores(DWORD flags, size_t stop_after = SIZE_MAX) {
    PlatformListing listing;
    listing.stop_after = stop_after;
    listing.result = CertEnumSystemStore(flags, nullptr, &listing, CountSystem);
    listing.error = GetLastError();
    return listing;
}

PlatformListing ListPhysicalStores(const WCHAR *system_store, DWORD flags, size_t stop_after = SIZE_MAX) {
    PlatformListing listing;
    listing.stop_after = stop_after;
    listing.result = CertEnumPhysicalStore(system_store, flags, &listing, CountPhysical);
    listing.error = GetLastError();
    return listing;
}

}  // namespace

class StoreEnumTest : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        callbacks.reset(new StoreCallbacks(vm));
        callback = callbacks->NewObject(env);
        arg = fakejni::new_object(env, "java/lang/Object");
    }
    std::unique_ptr<StoreCallbacks> callbacks;
    jobject callback = nullptr;
    jobject arg = nullptr;
};

TEST_F(StoreEnumTest, SystemStoresOfALocationReachTheJavaMethod) {
    const DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
    PlatformListing platform = ListSystemStores(location);
    ASSERT_FALSE(platform.names.empty()) << "the platform lists no store: error " << platform.error;

    EXPECT_EQ(Java_Orvalith_Base_JNI_certEnumSystemStore(env, nullptr, Jint(location), nullptr, arg, callback),
              platform.result ? JNI_TRUE : JNI_FALSE);
    ASSERT_EQ(callbacks->calls.size(), platform.names.size());
    bool has_my = false;
    for (size_t i = 0; i < platform.names.size(); i++) {
        const StoreCall &call = callbacks->calls[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(call.store_class, ORV_POINTER_CLASS);
        EXPECT_EQ(call.store_name, platform.names[i]);
        // Characters, not bytes.
        EXPECT_EQ(call.store_size, static_cast<jint>(platform.names[i].size()));
        EXPECT_EQ(static_cast<DWORD>(call.flags) & CERT_SYSTEM_STORE_LOCATION_MASK, location);
        EXPECT_NE(call.info_p, 0);
        EXPECT_EQ(call.info_size, 4);
        EXPECT_TRUE(call.reserved_null);
        EXPECT_EQ(call.arg, fakejni::identity(vm, arg));
        if (call.store_name == u"MY" || call.store_name == u"My") has_my = true;
    }
    EXPECT_TRUE(has_my);
}

TEST_F(StoreEnumTest, FalseFromTheJavaMethodStopsTheEnumeration) {
    const DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
    PlatformListing all = ListSystemStores(location);
    ASSERT_GE(all.names.size(), 2u) << "needs a location with two stores";
    PlatformListing stopped = ListSystemStores(location, 1);

    // The VM's own work in the Java method leaves a last error of its own.
    callbacks->answer = [](size_t) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    };
    jboolean result =
        Java_Orvalith_Base_JNI_certEnumSystemStore(env, nullptr, Jint(location), nullptr, nullptr, callback);
    // Whatever the platform answers for an enumeration stopped by its
    // callback; the last error says it was stopped.
    EXPECT_EQ(result, stopped.result ? JNI_TRUE : JNI_FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANCELLED));
    ASSERT_EQ(callbacks->calls.size(), 1u);
    EXPECT_EQ(callbacks->calls[0].arg, nullptr);
}

TEST_F(StoreEnumTest, CallbackLocalsDoNotPileUp) {
    const DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
    size_t before = fakejni::local_refs(env);
    size_t high_before = fakejni::local_refs_high_water(env);
    ASSERT_TRUE(Java_Orvalith_Base_JNI_certEnumSystemStore(env, nullptr, Jint(location), nullptr, arg, callback) ||
                !callbacks->calls.empty());
    ASSERT_GE(callbacks->calls.size(), 2u);
    EXPECT_EQ(fakejni::local_refs(env), before);
    // Two Pointers and a class at a time, however many stores.
    EXPECT_LE(fakejni::local_refs_high_water(env), std::max(high_before, before + 4));
}

TEST_F(StoreEnumTest, MissingOrThrowingMethodStopsWithItsException) {
    struct Case {
        const char *what;
        bool missing;
        const char *exception;
        size_t calls;
    } cases[] = {
        {"no method callback of that signature", true, "java/lang/NoSuchMethodError", 0},
        {"the method throws", false, "java/lang/RuntimeException", 1},
    };
    const DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
    PlatformListing stopped = ListSystemStores(location, 1);
    fakejni::define_class(vm, "test/NoCallback", "java/lang/Object", {},
                          {{"callback", "(LOrvalith/Base/JNI$Pointer;ILjava/lang/Object;)Z", {}}});
    callbacks->raise = [](size_t) { return "java/lang/RuntimeException"; };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        callbacks->calls.clear();
        jobject target = c.missing ? fakejni::new_object(env, "test/NoCallback") : callback;
        jboolean result =
            Java_Orvalith_Base_JNI_certEnumSystemStore(env, nullptr, Jint(location), nullptr, arg, target);
        EXPECT_EQ(result, stopped.result ? JNI_TRUE : JNI_FALSE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANCELLED));
        EXPECT_EQ(callbacks->calls.size(), c.calls);
        fakejni::PendingException e = fakejni::pending_exception(env);
        EXPECT_TRUE(e.present);
        EXPECT_EQ(e.class_name, c.exception);
        fakejni::clear_exception(env);
    }
}

TEST_F(StoreEnumTest, WithoutACallbackObjectNothingIsListed) {
    SetLastError(0);
    EXPECT_FALSE(Java_Orvalith_Base_JNI_certEnumSystemStore(env, nullptr, Jint(CERT_SYSTEM_STORE_CURRENT_USER),
                                                            nullptr, arg, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const char16_t my[] = u"MY";
    EXPECT_FALSE(Java_Orvalith_Base_JNI_certEnumPhysicalStore(env, nullptr, Pointer(my, sizeof my),
                                                              Jint(CERT_SYSTEM_STORE_CURRENT_USER), arg, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Java_Orvalith_Base_JNI_certEnumSystemStore(env, nullptr, Jint(CERT_SYSTEM_STORE_CURRENT_USER),
                                                            Foreign(), arg, callback));
    EXPECT_EQ(TakeException(), "Can't find p field in class.");
    EXPECT_TRUE(callbacks->calls.empty());
}

TEST_F(StoreEnumTest, PhysicalStoresOfMyAsThePlatformListsThem) {
    const DWORD flags = CERT_SYSTEM_STORE_CURRENT_USER;
    PlatformListing platform = ListPhysicalStores(L"MY", flags);
    const char16_t my[] = u"MY";
    jboolean result = Java_Orvalith_Base_JNI_certEnumPhysicalStore(env, nullptr, Pointer(my, sizeof my),
                                                                   Jint(flags), arg, callback);
    EXPECT_EQ(result, platform.result ? JNI_TRUE : JNI_FALSE);
    if (!platform.result) {
        EXPECT_EQ(GetLastError(), platform.error);
    }
    ASSERT_EQ(callbacks->calls.size(), platform.names.size());
    if (platform.names.empty()) {
        // Wine lists no physical stores; the callback itself is shown below.
        fprintf(stderr, "note: the platform lists no physical store of MY\n");
        return;
    }
    for (size_t i = 0; i < platform.names.size(); i++) {
        const StoreCall &call = callbacks->calls[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(call.store_name, u"MY");
        EXPECT_EQ(call.store_size, 2);
        EXPECT_TRUE(call.has_physical_name);
        EXPECT_EQ(call.physical_name, platform.names[i]);
        EXPECT_EQ(call.info_size, 4);
        EXPECT_TRUE(call.reserved_null);
        EXPECT_EQ(call.arg, fakejni::identity(vm, arg));
    }
}

// The callbacks as the platform calls them, with the store arguments it
// may give: a name, a relocate record, none.
TEST_F(StoreEnumTest, StorePointersOfEachKindOfSystemStoreArgument) {
    const char16_t name[] = u"Trust";
    CERT_SYSTEM_STORE_RELOCATE_PARA relocate = {};
    CERT_SYSTEM_STORE_INFO system_info = {sizeof system_info};
    CERT_PHYSICAL_STORE_INFO physical_info = {};
    physical_info.cbSize = sizeof physical_info;
    struct Case {
        const char *what;
        const void *store;
        DWORD flags;
        jlong p;
        jint size;
    } cases[] = {
        {"name", name, CERT_SYSTEM_STORE_CURRENT_USER, WidenAddress(name), 5},
        {"relocate record", &relocate, CERT_SYSTEM_STORE_CURRENT_USER | CERT_SYSTEM_STORE_RELOCATE_FLAG,
         WidenAddress(&relocate), 8},
        {"no store", nullptr, CERT_SYSTEM_STORE_LOCAL_MACHINE, 0, -1},
    };
    StoreEnumContext context = {env, arg, callback, false};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        callbacks->calls.clear();
        size_t before = fakejni::local_refs(env);
        EXPECT_TRUE(SystemStoreEnumCallback(c.store, c.flags, &system_info, nullptr, &context));
        EXPECT_TRUE(PhysicalStoreEnumCallback(c.store, c.flags, L".Default", &physical_info, nullptr, &context));
        EXPECT_EQ(fakejni::local_refs(env), before);
        ASSERT_EQ(callbacks->calls.size(), 2u);
        for (const StoreCall &call : callbacks->calls) {
            EXPECT_EQ(call.store_p, c.p);
            EXPECT_EQ(call.store_size, c.size);
            EXPECT_EQ(static_cast<DWORD>(call.flags), c.flags);
            EXPECT_EQ(call.info_size, 4);
            EXPECT_TRUE(call.reserved_null);
            EXPECT_EQ(call.arg, fakejni::identity(vm, arg));
        }
        EXPECT_EQ(callbacks->calls[0].info_p, WidenAddress(&system_info));
        EXPECT_FALSE(callbacks->calls[0].has_physical_name);
        EXPECT_EQ(callbacks->calls[1].info_p, WidenAddress(&physical_info));
        EXPECT_EQ(callbacks->calls[1].physical_name, u".Default");
    }
}

TEST_F(StoreEnumTest, CallbackAnswersWhatTheJavaMethodAnswers) {
    StoreEnumContext context = {env, nullptr, callback, false};
    callbacks->answer = [](size_t n) { return n == 0; };
    EXPECT_TRUE(SystemStoreEnumCallback(L"MY", 0, nullptr, nullptr, &context));
    EXPECT_FALSE(SystemStoreEnumCallback(L"MY", 0, nullptr, nullptr, &context));
    ASSERT_EQ(callbacks->calls.size(), 2u);
    // No information record: the empty Pointer.
    EXPECT_EQ(callbacks->calls[0].info_p, 0);
    EXPECT_EQ(callbacks->calls[0].info_size, -1);
    EXPECT_EQ(callbacks->calls[0].arg, nullptr);

    // An exception still pending from an earlier call: nothing more is called.
    callbacks->answer = [](size_t) { return true; };
    callbacks->raise = [](size_t) { return "java/lang/Error"; };
    EXPECT_FALSE(PhysicalStoreEnumCallback(L"MY", 0, L"Registry", nullptr, nullptr, &context));
    EXPECT_FALSE(PhysicalStoreEnumCallback(L"MY", 0, L"Registry", nullptr, nullptr, &context));
    EXPECT_EQ(callbacks->calls.size(), 3u);
    EXPECT_EQ(TakeException("java/lang/Error"), "from the callback");
}

TEST_F(StoreEnumTest, StorePointerThatCannotBeMadeStopsTheEnumeration) {
    StoreEnumContext context = {env, arg, callback, false};
    fakejni::fail_find_class(vm, ORV_POINTER_CLASS);
    size_t before = fakejni::local_refs(env);
    EXPECT_FALSE(SystemStoreEnumCallback(L"MY", 0, nullptr, nullptr, &context));
    EXPECT_EQ(fakejni::local_refs(env), before);
    EXPECT_TRUE(callbacks->calls.empty());
    EXPECT_EQ(TakeException(), "Class not found");
}
