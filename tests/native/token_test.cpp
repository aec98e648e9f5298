// Every regular token native against the instrumented module: arguments
// arrive in prototype order and kind, cells are read and written as their
// kind says, and calls that cannot be made touch nothing.
#include <tuple>
#include <utility>

#include "pkcs11/token_module.h"
#include "support.h"
#include "token_natives.h"

namespace {

// How the runner makes each kind's Java argument and checks what the
// module saw.  `wide` makes integers and cells exceed 32 bits.
struct Args {
    VmTest *test;
    bool wide;
};

jlong UlongArg(size_t i, bool wide) { return (wide ? (1LL << 32) + 5 : 0x1100) + static_cast<jlong>(i); }
jlong CellStart(size_t i, bool wide) { return wide ? -1 : 10 + static_cast<jlong>(i); }
void *BlockOf(size_t i) { return reinterpret_cast<void *>(static_cast<uintptr_t>(0x10000 * (i + 1))); }

template <typename K> struct Kind;
template <> struct Kind<U> {
    static jlong Make(JNIEnv *, jobject (*)(void *), size_t i, bool wide) { return UlongArg(i, wide); }
    static void Check(const MockArg &a, size_t i, bool wide) {
        EXPECT_EQ(a.kind, static_cast<uint32_t>(MOCK_ARG_ULONG));
        EXPECT_EQ(a.value, static_cast<uint64_t>(NarrowUlong(UlongArg(i, wide))));
    }
};
template <> struct Kind<R> {
    static jlong Make(JNIEnv *, jobject (*)(void *), size_t i, bool) { return 0x3000 + static_cast<jlong>(i); }
    static void Check(const MockArg &a, size_t i, bool) {
        EXPECT_EQ(a.kind, static_cast<uint32_t>(MOCK_ARG_POINTER));
        EXPECT_EQ(a.value, 0x3000u + i);
    }
};
template <> struct Kind<B> {
    static jboolean Make(JNIEnv *, jobject (*)(void *), size_t, bool) { return JNI_TRUE; }
    static void Check(const MockArg &a, size_t, bool) {
        EXPECT_EQ(a.kind, static_cast<uint32_t>(MOCK_ARG_BBOOL));
        EXPECT_EQ(a.value, 1u);
    }
};
template <> struct Kind<P> {
    static jobject Make(JNIEnv *, jobject (*pointer)(void *), size_t i, bool) { return pointer(BlockOf(i)); }
    static void Check(const MockArg &a, size_t i, bool) {
        EXPECT_EQ(a.kind, static_cast<uint32_t>(MOCK_ARG_POINTER));
        EXPECT_EQ(a.value, reinterpret_cast<uintptr_t>(BlockOf(i)));
    }
};
template <> struct Kind<IO> {
    static jlongArray Make(JNIEnv *env, jobject (*)(void *), size_t i, bool wide) {
        return fakejni::new_long_array(env, {CellStart(i, wide)});
    }
    static void Check(const MockArg &a, size_t i, bool wide) {
        EXPECT_EQ(a.kind, static_cast<uint32_t>(MOCK_ARG_CELL));
        ASSERT_TRUE(a.has_pointee);
        EXPECT_EQ(a.pointee, static_cast<uint64_t>(NarrowUlong(CellStart(i, wide))));
    }
    // Left alone by the module, the cell gets back what was read from it.
    static jlong After(size_t i, bool wide) { return WidenUlong(NarrowUlong(CellStart(i, wide))); }
};
template <> struct Kind<O> {
    static jlongArray Make(JNIEnv *env, jobject (*)(void *), size_t, bool) {
        return fakejni::new_long_array(env, {777});
    }
    static void Check(const MockArg &a, size_t, bool) {
        EXPECT_EQ(a.kind, static_cast<uint32_t>(MOCK_ARG_CELL));
        ASSERT_TRUE(a.has_pointee);
        EXPECT_EQ(a.pointee, static_cast<uint64_t>(CK_INVALID_HANDLE));  // never read
    }
    static jlong After(size_t, bool) { return CK_INVALID_HANDLE; }
};

template <typename K> constexpr bool IsCell() { return std::is_same<K, IO>::value || std::is_same<K, O>::value; }

VmTest *current;
jobject MakePointer(void *p);

class TokenTest : public VmTest {
public:
    void SetUp() override {
        VmTest::SetUp();
        current = this;
        mock = LoadMock(env);
        ASSERT_NE(mock.handle, 0);
    }
    void TearDown() override {
        UnloadModule(env, mock.handle);
        VmTest::TearDown();
    }
    jobject Pointer(void *p) { return NewPointer(p, 8); }
    fakejni::Vm *Vm() { return vm; }
    JNIEnv *Env() { return env; }
    MockModule mock;
};

jobject MakePointer(void *p) { return static_cast<TokenTest *>(current)->Pointer(p); }

template <typename... K>
struct Case {
    typedef jlong(JNICALL *Fn)(JNIEnv *, jclass, jlong, typename K::J...);
    const char *name;
    int entry;
    Fn fn;

    template <size_t... I>
    std::tuple<typename K::J...> Make(TokenTest *t, bool wide, std::index_sequence<I...>) const {
        return std::tuple<typename K::J...>(Kind<K>::Make(t->Env(), MakePointer, I, wide)...);
    }

    jlong Invoke(TokenTest *t, jlong handle, const std::tuple<typename K::J...> &args) const {
        return std::apply([&](auto... a) { return fn(t->Env(), nullptr, handle, a...); }, args);
    }

    // The cells' values after the call, in argument order (others give 0).
    template <size_t... I>
    std::vector<jlong> Cells(TokenTest *t, const std::tuple<typename K::J...> &args,
                             std::index_sequence<I...>) const {
        std::vector<jlong> cells;
        auto one = [&](auto kind, auto arg) {
            typedef decltype(kind) Kd;
            if constexpr (IsCell<Kd>())
                cells.push_back(fakejni::long_elements(t->Vm(), arg)[0]);
        };
        (one(K(), std::get<I>(args)), ...);
        return cells;
    }

    template <size_t... I>
    std::vector<jlong> Expected(bool wide, std::index_sequence<I...>) const {
        std::vector<jlong> cells;
        auto one = [&](auto kind, size_t i) {
            typedef decltype(kind) Kd;
            if constexpr (IsCell<Kd>()) cells.push_back(Kind<Kd>::After(i, wide));
        };
        (one(K(), I), ...);
        return cells;
    }

    template <size_t... I>
    std::vector<jlong> Initial(bool wide, std::index_sequence<I...>) const {
        std::vector<jlong> cells;
        auto one = [&](auto kind, size_t i) {
            typedef decltype(kind) Kd;
            if constexpr (std::is_same<Kd, IO>::value) cells.push_back(CellStart(i, wide));
            if constexpr (std::is_same<Kd, O>::value) cells.push_back(777);
        };
        (one(K(), I), ...);
        return cells;
    }

    template <size_t... I>
    void CheckRecord(const MockRecord &r, bool wide, std::index_sequence<I...>) const {
        EXPECT_EQ(r.nargs, static_cast<int>(sizeof...(K)));
        (Kind<K>::Check(r.args[I], I, wide), ...);
    }

    void Run(TokenTest *t) const {
        SCOPED_TRACE(name);
        const MockControl *mock = t->mock.control;
        auto seq = std::index_sequence_for<K...>();
        for (bool wide : {false, true}) {
            mock->reset();
            // A vendor-defined code must come back as a positive long.
            mock->set_result(entry, 0x80000123UL);
            auto args = Make(t, wide, seq);
            EXPECT_EQ(Invoke(t, t->mock.handle, args), 0x80000123LL);
            MockRecord r;
            ASSERT_EQ(mock->record_count(), 1);
            ASSERT_EQ(mock->record_last(entry, &r), 0);
            CheckRecord(r, wide, seq);
            EXPECT_EQ(Cells(t, args, seq), Expected(wide, seq));
        }
        // Values the module stores come back widened without sign.
        mock->reset();
        for (size_t i = 0; i < sizeof...(K); i++) mock->set_out(entry, static_cast<int>(i), static_cast<CK_ULONG>(-2));
        auto args = Make(t, false, seq);
        EXPECT_EQ(Invoke(t, t->mock.handle, args), CKR_OK);
        for (jlong c : Cells(t, args, seq)) EXPECT_EQ(c, WidenUlong(static_cast<CK_ULONG>(-2)));
        // Module 0 and a null entry: CKR_NO_FUNCTION, no call, no cell
        // written.  The entry is cleared before a load, since some builds
        // copy the module's table when they load it.
        mock->reset();
        mock->set_entry_null(entry, 1);
        jlong without = LoadModule(t->Env(), ModuleFile("mockp11"));
        ASSERT_NE(without, 0);
        for (jlong handle : {static_cast<jlong>(0), without}) {
            args = Make(t, false, seq);
            EXPECT_EQ(Invoke(t, handle, args), 2147483649LL);
            EXPECT_EQ(Cells(t, args, seq), Initial(false, seq));
        }
        UnloadModule(t->Env(), without);
        mock->set_entry_null(entry, 0);
        EXPECT_EQ(mock->record_last(entry, nullptr), -1);
    }
};

#define TN_CASE(Name, ...) \
    Case<__VA_ARGS__>{#Name, MOCK_C_##Name, &Java_Orvalith_Base_JNI_c_1##Name}.Run(this);

}  // namespace

TEST_F(TokenTest, EveryNativeFollowsTheConventions) { TOKEN_NATIVES(TN_CASE) }

TEST_F(TokenTest, UnusableArgumentsStopTheCall) {
    const MockControl *m = mock.control;
    jlongArray empty = fakejni::new_long_array(env, {});
    jlongArray cell = fakejni::new_long_array(env, {5});
    fakejni::define_class(vm, "test/NotAPointer");
    jobject stranger = fakejni::new_object(env, "test/NotAPointer");
    // A null or empty cell, in/out or output.
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSlotList(env, nullptr, mock.handle, JNI_TRUE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSlotList(env, nullptr, mock.handle, JNI_TRUE, nullptr, empty), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1CreateObject(env, nullptr, mock.handle, 1, nullptr, 0, nullptr), CKR_ARGUMENTS_BAD);
    // A Pointer without "p": its exception stays, nothing else happens.
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1Digest(env, nullptr, mock.handle, 1, stranger, 4, nullptr, cell), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(TakeException(), "Can't find p field in class.");
    EXPECT_EQ(fakejni::long_elements(vm, cell)[0], 5);
    EXPECT_EQ(fakejni::array_stats(vm, cell).release_modes, std::vector<jint>{JNI_ABORT});
    EXPECT_EQ(m->record_count(), 0);
}

TEST_F(TokenTest, CountQueryWithANullList) {
    const MockControl *m = mock.control;
    m->set_out(MOCK_C_GetSlotList, 2, 3);
    jlongArray count = fakejni::new_long_array(env, {0});
    EXPECT_EQ(Java_Orvalith_Base_JNI_c_1GetSlotList(env, nullptr, mock.handle, JNI_FALSE, nullptr, count), CKR_OK);
    MockRecord r;
    ASSERT_GE(m->record_last(MOCK_C_GetSlotList, &r), 0);
    EXPECT_EQ(r.args[0].value, 0u);
    EXPECT_EQ(r.args[1].value, 0u);
    EXPECT_EQ(fakejni::long_elements(vm, count)[0], 3);
}
