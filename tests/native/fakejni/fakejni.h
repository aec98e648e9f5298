// fakejni: a stand-in Java VM for the native test suite.
//
// The suite runs without a JVM (also under qemu-user and Wine), so this
// library hands out a real JNIEnv* and JavaVM* whose function tables are
// implemented here.  It is deliberately stricter than a production VM: it
// records what -Xcheck:jni would warn about (calls with an exception
// pending, stale or foreign references, wrong element types, releases of
// buffers that were never handed out) as "violations" that a test can
// assert to be empty, and it can hand out element copies so that release
// modes become observable.  Every table entry that is not implemented
// aborts with its name, so a missing piece is loud, never garbage.
//
// Usage:
//
//   fakejni::VmPtr vm(fakejni::create_vm());    // this thread is attached
//   JNIEnv* env = fakejni::env(vm.get());
//   jvm = fakejni::java_vm(vm.get());             // the bridge's global
//
//   // A class of the test's own, with a Java method backed by a lambda.
//   fakejni::define_class(vm.get(), "test/Callback", "java/lang/Object", {},
//       {{"callback", "(JJLjava/lang/Object;)J",
//         [](JNIEnv*, jobject, const jvalue* a) {
//           return fakejni::jv_long(a[0].j + a[1].j);
//         }}});
//   jobject cb = fakejni::new_object(env, "test/Callback");
//
//   fakejni::set_copy_elements(vm.get(), true);  // Get*ArrayElements copies
//   jlongArray cell = fakejni::new_long_array(env, {7});
//   size_t locals = fakejni::local_refs(env);
//   ... call a native with env, cb, cell ...
//   EXPECT_EQ(fakejni::local_refs(env), locals);
//   EXPECT_EQ(fakejni::long_elements(vm.get(), cell)[0], 42);
//   EXPECT_EQ(fakejni::array_stats(vm.get(), cell).release_modes,
//             std::vector<jint>{0});
//   EXPECT_EQ(fakejni::array_stats(vm.get(), cell).outstanding, 0);
//
//   fakejni::PendingException e = fakejni::pending_exception(env);
//   EXPECT_TRUE(e.present);
//   EXPECT_EQ(e.class_name, "java/lang/Exception");
//   EXPECT_EQ(e.message, "Can't find size field in class.");
//   fakejni::clear_exception(env);
//
//   fakejni::fail_find_class(vm.get(), "Orvalith/Base/JNI$Pointer");
//   fakejni::fail_allocation(vm.get(), fakejni::kAllocArray, 1);
//   fakejni::reset_faults(vm.get());
//
//   EXPECT_TRUE(fakejni::violations(vm.get()).empty());
//
// Class names are always in the JNI form with slashes ("java/lang/Object").
// Helpers (everything in this header) bypass fault injection and never
// record violations; only calls through the JNIEnv/JavaVM tables do.
// Every function here is thread-safe.
//
// Predefined classes: java/lang/Object ("<init>" "()V"), java/lang/Class,
// java/lang/String, java/lang/Throwable and its subclasses
// java/lang/Exception, RuntimeException, Error, NoClassDefFoundError,
// NoSuchFieldError, NoSuchMethodError, OutOfMemoryError,
// ArrayIndexOutOfBoundsException, StringIndexOutOfBoundsException (each
// with "<init>" "()V" and "(Ljava/lang/String;)V"), the array classes
// [Z [B [C [S [I [J [F [D, and Orvalith/Base/JNI,
// Orvalith/Base/JNI$Pointer (p J, o Ljava/lang/Object;, size I, freed Z;
// "<init>" "(JLjava/lang/Object;I)V" sets p, o, size),
// Orvalith/Base/JNI$CK_C_INITIALIZE_ARGS_NSS (useMutexes Z, flags J,
// pReserved J, LibraryParams J; in the Windows build LibraryParams is
// Ljava/lang/String;, as the Java side declares it there).
//
// Threads: a thread is attached from AttachCurrentThread (or attach())
// until DetachCurrentThread (or detach()).  Threads are told apart by
// std::thread::id, so a test thread should detach before it ends.
#ifndef FAKEJNI_H
#define FAKEJNI_H

#include <jni.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fakejni {

struct Vm;  // opaque; owns classes, objects, references and thread states

// ---- The VM -------------------------------------------------------------

// A fresh VM with the predefined classes; the calling thread is attached.
Vm* create_vm();
void destroy_vm(Vm* vm);
struct VmDeleter {
  void operator()(Vm* vm) const { destroy_vm(vm); }
};
using VmPtr = std::unique_ptr<Vm, VmDeleter>;

JavaVM* java_vm(Vm* vm);
// The calling thread's environment, or null when it is not attached.
JNIEnv* env(Vm* vm);
// The VM an environment (of any thread) belongs to.
Vm* vm_of(JNIEnv* env);
// Attach/detach the calling thread directly (ignores set_attach_fails).
JNIEnv* attach(Vm* vm);
void detach(Vm* vm);
bool attached(Vm* vm);

// Get<Prim>ArrayElements and GetPrimitiveArrayCritical hand out a separate
// malloc'd copy (*isCopy = JNI_TRUE) instead of the array's own storage;
// Release then honours its mode exactly.  Off by default.
void set_copy_elements(Vm* vm, bool on);
// Get<Prim>ArrayElements and GetPrimitiveArrayCritical of any zero-length
// array hand out one and the same VM-wide address (never a copy, whatever
// set_copy_elements says), as a production VM may.  Off by default.
void set_shared_empty_elements(Vm* vm, bool on);
// GetArrayLength of this array answers `length` from now on (a negative
// length restores the real one); the array's storage stays as it was, so
// only code that refuses such a length before touching the elements may
// meet it.  For lengths no test machine has the memory for.
void set_reported_length(Vm* vm, jarray a, jsize length);
// AttachCurrentThread / AttachCurrentThreadAsDaemon answer JNI_ERR.
void set_attach_fails(Vm* vm, bool on);

struct Counters {
  int get_env_calls = 0;           // JavaVM GetEnv
  jint last_get_env_version = 0;   // the version the last GetEnv asked for
  int attach_calls = 0;            // AttachCurrentThread(AsDaemon), failed ones too
  int detach_calls = 0;            // DetachCurrentThread
  int describe_calls = 0;          // ExceptionDescribe, with or without a pending one
};
Counters counters(Vm* vm);

// ---- Classes and Java methods -------------------------------------------

// A Java method or constructor body.  `self` is the receiver (for "<init>"
// the new object); `args` holds one jvalue per parameter of the signature.
// Object arguments and `self` are the caller's references.  Locals the body
// creates are released when it returns; an object result is handed to the
// caller as a new local reference.  A constructor's result is ignored.
// A body may raise (env->ThrowNew); the exception stays pending for the
// caller, and NewObject then answers null.
using MethodImpl = std::function<jvalue(JNIEnv* env, jobject self, const jvalue* args)>;

struct FieldSpec {
  std::string name;
  std::string sig;  // JNI type signature: "J", "Ljava/lang/Object;", ...
};
struct MethodSpec {
  std::string name;  // "<init>" for a constructor
  std::string sig;   // "(JJLjava/lang/Object;)J"
  MethodImpl impl;   // empty: the method does nothing and returns zero/null
};

// Defines a class; the superclass must exist already.  Defining a name
// twice aborts.
void define_class(Vm* vm, const std::string& name,
                  const std::string& super_name = "java/lang/Object",
                  const std::vector<FieldSpec>& fields = {},
                  const std::vector<MethodSpec>& methods = {});
// Adds a method to an existing class, or replaces the body of one with the
// same name and signature (method IDs handed out stay valid).
void define_method(Vm* vm, const std::string& class_name, const std::string& name,
                   const std::string& sig, MethodImpl impl);

inline jvalue jv_void() { jvalue v; v.j = 0; return v; }
inline jvalue jv_bool(bool b) { jvalue v; v.j = 0; v.z = b ? JNI_TRUE : JNI_FALSE; return v; }
inline jvalue jv_int(jint i) { jvalue v; v.j = 0; v.i = i; return v; }
inline jvalue jv_long(jlong j) { jvalue v; v.j = j; return v; }
inline jvalue jv_double(jdouble d) { jvalue v; v.d = d; return v; }
inline jvalue jv_obj(jobject o) { jvalue v; v.j = 0; v.l = o; return v; }

// ---- Objects and fields -------------------------------------------------

// A new instance (a local reference of the calling thread) with all fields
// zero/null; no constructor runs.
jobject new_object(JNIEnv* env, const std::string& class_name);
// "java/lang/Exception", "[I", ... of an object; "" for null.
std::string class_name(Vm* vm, jobject obj);
// The name of the class a jclass stands for.
std::string name_of_class(Vm* vm, jclass cls);
// A stable identity of the object behind a reference (null for null), to
// compare objects without creating references.
const void* identity(Vm* vm, jobject obj);

// Direct field access by name (inherited fields included).  A field that
// does not exist, or whose signature does not fit the accessor, aborts.
jlong long_field(Vm* vm, jobject obj, const std::string& name);
jint int_field(Vm* vm, jobject obj, const std::string& name);
jboolean bool_field(Vm* vm, jobject obj, const std::string& name);
jdouble double_field(Vm* vm, jobject obj, const std::string& name);
// Any reference-typed field; the result is a new local reference of env's thread.
jobject object_field(JNIEnv* env, jobject obj, const std::string& name);
void set_long_field(Vm* vm, jobject obj, const std::string& name, jlong value);
void set_int_field(Vm* vm, jobject obj, const std::string& name, jint value);
void set_bool_field(Vm* vm, jobject obj, const std::string& name, jboolean value);
void set_double_field(Vm* vm, jobject obj, const std::string& name, jdouble value);
void set_object_field(Vm* vm, jobject obj, const std::string& name, jobject value);

// ---- Strings ------------------------------------------------------------

// Java strings hold UTF-16.  The codec is the JNI "modified UTF-8": U+0000
// as C0 80, every other unit of the BMP in 1-3 bytes, surrogates encoded
// one by one (3 bytes each).  Decoding is lenient: a 4-byte standard UTF-8
// sequence becomes a surrogate pair, a malformed byte becomes the unit of
// the same value.
std::string to_modified_utf8(const std::u16string& s);
std::u16string from_modified_utf8(const std::string& bytes);

jstring new_string(JNIEnv* env, const std::u16string& s);  // a local reference
std::u16string string_chars(Vm* vm, jstring s);
// Standard UTF-8 (pairs joined), for readable assertions.
std::string string_utf8(Vm* vm, jstring s);

// ---- Primitive arrays ---------------------------------------------------

jintArray new_int_array(JNIEnv* env, const std::vector<jint>& v);
jlongArray new_long_array(JNIEnv* env, const std::vector<jlong>& v);
jbyteArray new_byte_array(JNIEnv* env, const std::vector<jbyte>& v);
jbooleanArray new_boolean_array(JNIEnv* env, const std::vector<jboolean>& v);

// The array's own contents (not any copy handed out).
std::vector<jint> int_elements(Vm* vm, jintArray a);
std::vector<jlong> long_elements(Vm* vm, jlongArray a);
std::vector<jbyte> byte_elements(Vm* vm, jbyteArray a);
std::vector<jboolean> boolean_elements(Vm* vm, jbooleanArray a);
// The array's own storage: what Get<Prim>ArrayElements hands out without copies.
void* array_storage(Vm* vm, jarray a);

struct ArrayStats {
  int gets = 0;                     // Get<Prim>ArrayElements and ...Critical calls
  std::vector<jint> release_modes;  // mode of each accepted Release, in order
  int outstanding = 0;              // buffers handed out and not finally released
  std::vector<void*> buffers;       // those buffers, oldest first
};
ArrayStats array_stats(Vm* vm, jarray a);
// Element buffers and string characters handed out VM-wide and not yet
// released (JNI_COMMIT keeps a buffer outstanding).
size_t outstanding_buffers(Vm* vm);

// ---- Exceptions ---------------------------------------------------------

struct PendingException {
  bool present = false;
  std::string class_name;   // "java/lang/NoSuchFieldError"
  bool has_message = false;  // false for a null message
  std::string message;      // standard UTF-8
};
PendingException pending_exception(JNIEnv* env);
void clear_exception(JNIEnv* env);
// "class: message" for each exception ExceptionDescribe printed, oldest first.
std::vector<std::string> described(Vm* vm);

// ---- References ---------------------------------------------------------

// Live local references of env's thread, over all its frames.
size_t local_refs(JNIEnv* env);
// The most live locals env's thread has held at once since attach.
size_t local_refs_high_water(JNIEnv* env);
size_t global_refs(Vm* vm);

// ---- Violations ---------------------------------------------------------

// What a checking VM would complain about, as "<JNI function>: <what>", in
// the order it happened, e.g. "GetFieldID: called with an exception pending".
std::vector<std::string> violations(Vm* vm);
void clear_violations(Vm* vm);

// ---- Fault injection ----------------------------------------------------

// FindClass of this name raises NoClassDefFoundError and answers null.
void fail_find_class(Vm* vm, const std::string& class_name);
// GetMethodID on exactly this class with this name and signature raises
// NoSuchMethodError and answers null.
void fail_get_method(Vm* vm, const std::string& class_name, const std::string& name,
                     const std::string& sig);
// ... any GetMethodID of this method name.
void fail_get_method_named(Vm* vm, const std::string& name);
// GetFieldID on this class (or a subclass) of this field name raises
// NoSuchFieldError and answers null.
void fail_get_field(Vm* vm, const std::string& class_name, const std::string& name);

enum AllocKind : unsigned {
  kAllocObject = 1u,    // AllocObject, NewObject/V/A
  kAllocArray = 2u,     // New<Prim>Array
  kAllocString = 4u,    // NewString, NewStringUTF
  kAllocElements = 8u,  // Get<Prim>ArrayElements, GetPrimitiveArrayCritical,
                        // GetStringChars, GetStringUTFChars, GetStringCritical
  kAllocAny = 15u
};
// Counting from now over allocations of the given kinds, the nth (1-based)
// fails once with OutOfMemoryError; nth == 0 makes every one fail until reset.
void fail_allocation(Vm* vm, unsigned kinds, int nth);
// Removes every injected fault (and nothing else).
void reset_faults(Vm* vm);

}  // namespace fakejni

#endif
