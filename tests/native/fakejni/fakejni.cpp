// The stand-in VM behind fakejni.h.
//
// One mutex guards the whole VM; it is never held while a Java method body
// (a test's C++ callable) runs, because bodies call back into JNI.
// Objects, references and IDs live until the VM is destroyed, so a stale
// or foreign handle can always be recognised instead of being dereferenced.
#include "fakejni.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace fakejni {

[[noreturn]] static void unimplemented(const char* name) {
  std::fprintf(stderr, "fakejni: JNI function %s is not implemented\n", name);
  std::fflush(stderr);
  std::abort();
}

[[noreturn]] static void die(const std::string& what) {
  std::fprintf(stderr, "fakejni: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

#include "fakejni_stubs.inc"

namespace {

struct ClassInfo;
struct Object;
struct Thread;

struct FieldInfo {
  std::string name;
  std::string sig;
  ClassInfo* owner = nullptr;
};

struct MethodInfo {
  std::string name;
  std::string sig;
  ClassInfo* owner = nullptr;
  MethodImpl impl;
};

struct ClassInfo {
  std::string name;
  ClassInfo* super = nullptr;
  char elem = 0;  // element type of an array class, 0 otherwise
  std::vector<std::unique_ptr<FieldInfo>> fields;
  std::vector<std::unique_ptr<MethodInfo>> methods;
  Object* mirror = nullptr;  // the java/lang/Class object standing for it
};

struct Slot {
  jvalue v;
  Object* o;
};

// A buffer handed out by Get<Prim>ArrayElements, GetPrimitiveArrayCritical
// or one of the string character getters.
enum class BufKind { Elements, Critical, Chars, Utf, StringCritical };
struct Buffer {
  void* ptr;
  bool copy;
  BufKind kind;
};

struct Object {
  ClassInfo* cls = nullptr;
  std::unordered_map<const FieldInfo*, Slot> fields;
  ClassInfo* represents = nullptr;  // for class objects
  bool is_string = false;
  std::u16string str;
  // arrays
  bool is_array = false;
  char elem = 0;
  jsize length = 0;
  size_t elem_size = 0;
  unsigned char* data = nullptr;
  jsize reported_length = -1;  // set_reported_length: what GetArrayLength answers
  int gets = 0;
  std::vector<jint> release_modes;
  std::vector<Buffer> buffers;  // outstanding, oldest first

  ~Object() {
    for (const Buffer& b : buffers)
      if (b.copy) std::free(b.ptr);
    std::free(data);
  }
};

enum class RefKind { Local, Global };
struct Ref {
  Object* obj;
  RefKind kind;
  Thread* owner;  // locals only
  size_t frame;   // locals only: index of the frame holding it
  bool live;
};

struct Frame {
  std::vector<Ref*> refs;
  size_t live = 0;
};

struct EnvHandle {
  JNIEnv_ env;  // must stay first: JNIEnv* and EnvHandle* are the same address
  Vm* vm;
  Thread* thread;
};

struct Thread {
  EnvHandle handle;
  std::thread::id id;
  bool attached = false;
  std::vector<Frame> frames;
  size_t live_locals = 0;
  size_t high_water = 0;
  Object* pending = nullptr;
};

struct JvmHandle {
  JavaVM_ jvm;  // must stay first
  Vm* vm;
};

struct Faults {
  std::set<std::string> find_class;
  std::set<std::tuple<std::string, std::string, std::string>> method;
  std::set<std::string> method_named;
  std::set<std::pair<std::string, std::string>> field;
  unsigned alloc_kinds = 0;
  int alloc_remaining = -1;  // -1 off, 0 every one fails, n: the nth from now
};

}  // namespace

struct Vm {
  JvmHandle jvm_handle;
  JNINativeInterface_ table;
  JNIInvokeInterface_ invoke;
  std::mutex mu;
  std::map<std::string, std::unique_ptr<ClassInfo>> classes;
  std::vector<std::unique_ptr<Object>> objects;
  std::deque<Ref> ref_store;
  std::unordered_set<const void*> refs;
  std::unordered_set<const void*> field_ids;
  std::unordered_set<const void*> method_ids;
  std::map<std::thread::id, std::unique_ptr<Thread>> threads;
  size_t globals = 0;
  std::vector<std::string> violations;
  std::vector<std::string> described;
  Counters counters;
  bool copy_elements = false;
  bool shared_empty_elements = false;
  unsigned char shared_empty[8] = {0};  // the one address of every empty array's elements
  bool attach_fails = false;
  Faults faults;
  ClassInfo* object_class = nullptr;
  ClassInfo* class_class = nullptr;
  ClassInfo* string_class = nullptr;
  ClassInfo* throwable_class = nullptr;
  const FieldInfo* detail_message = nullptr;
};

namespace {

// ---- Small pieces -----------------------------------------------------------

std::string dotted(std::string name) {
  for (char& ch : name)
    if (ch == '/') ch = '.';
  return name;
}

// Standard UTF-8 (pairs joined), for messages and assertions.
std::string utf8_of(const std::u16string& m) {
  std::string utf;
  for (size_t i = 0; i < m.size(); ++i) {
    uint32_t cp = m[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < m.size() && m[i + 1] >= 0xDC00 &&
        m[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (m[i + 1] - 0xDC00u);
      ++i;
    }
    if (cp < 0x80) {
      utf += static_cast<char>(cp);
    } else if (cp < 0x800) {
      utf += static_cast<char>(0xC0 | (cp >> 6));
      utf += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      utf += static_cast<char>(0xE0 | (cp >> 12));
      utf += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      utf += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      utf += static_cast<char>(0xF0 | (cp >> 18));
      utf += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      utf += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      utf += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return utf;
}

bool is_ref_type(char t) { return t == 'L' || t == '['; }

// The type letters of a method signature's parameters ('L' for any
// reference) and its return type.
bool parse_sig(const std::string& sig, std::vector<char>* params, char* ret) {
  if (sig.empty() || sig[0] != '(') return false;
  size_t i = 1;
  auto one = [&](char* out) -> bool {
    size_t start = i;
    while (i < sig.size() && sig[i] == '[') ++i;
    if (i >= sig.size()) return false;
    if (sig[i] == 'L') {
      size_t semi = sig.find(';', i);
      if (semi == std::string::npos) return false;
      i = semi + 1;
    } else {
      if (!std::strchr("ZBCSIJFDV", sig[i])) return false;
      ++i;
    }
    *out = (i - start > 1) ? 'L' : sig[start];
    return true;
  };
  while (i < sig.size() && sig[i] != ')') {
    char t;
    if (!one(&t) || t == 'V') return false;
    if (params) params->push_back(t);
  }
  if (i >= sig.size()) return false;
  ++i;
  char r;
  if (!one(&r) || i != sig.size()) return false;
  if (ret) *ret = r;
  return true;
}

size_t elem_size_of(char t) {
  switch (t) {
    case 'Z': return sizeof(jboolean);
    case 'B': return sizeof(jbyte);
    case 'C': return sizeof(jchar);
    case 'S': return sizeof(jshort);
    case 'I': return sizeof(jint);
    case 'J': return sizeof(jlong);
    case 'F': return sizeof(jfloat);
    case 'D': return sizeof(jdouble);
  }
  return 0;
}

const char* prim_name(char t) {
  switch (t) {
    case 'Z': return "boolean";
    case 'B': return "byte";
    case 'C': return "char";
    case 'S': return "short";
    case 'I': return "int";
    case 'J': return "long";
    case 'F': return "float";
    case 'D': return "double";
  }
  return "?";
}

bool is_subclass(const ClassInfo* c, const ClassInfo* target) {
  for (; c; c = c->super)
    if (c == target) return true;
  return false;
}

ClassInfo* find_class_info(Vm* vm, const std::string& name) {
  auto it = vm->classes.find(name);
  return it == vm->classes.end() ? nullptr : it->second.get();
}

const FieldInfo* find_field(const ClassInfo* c, const std::string& name, const std::string* sig) {
  for (; c; c = c->super)
    for (const auto& f : c->fields)
      if (f->name == name && (!sig || f->sig == *sig)) return f.get();
  return nullptr;
}

MethodInfo* find_method(const ClassInfo* c, const std::string& name, const std::string& sig,
                        bool inherited) {
  for (; c; c = inherited ? c->super : nullptr)
    for (const auto& m : c->methods)
      if (m->name == name && m->sig == sig) return m.get();
  return nullptr;
}

void violation(Vm* vm, const char* fn, const std::string& what) {
  vm->violations.push_back(std::string(fn) + ": " + what);
}

Object* make_object(Vm* vm, ClassInfo* cls) {
  vm->objects.push_back(std::make_unique<Object>());
  Object* o = vm->objects.back().get();
  o->cls = cls;
  return o;
}

Object* make_string(Vm* vm, std::u16string s) {
  Object* o = make_object(vm, vm->string_class);
  o->is_string = true;
  o->str = std::move(s);
  return o;
}

Object* make_array(Vm* vm, char elem, jsize length) {
  ClassInfo* cls = find_class_info(vm, std::string("[") + elem);
  Object* o = make_object(vm, cls);
  o->is_array = true;
  o->elem = elem;
  o->length = length;
  o->elem_size = elem_size_of(elem);
  size_t bytes = static_cast<size_t>(length) * o->elem_size;
  // Exactly the array's size, so a sanitizer sees an overrun by one byte.
  o->data = static_cast<unsigned char*>(std::calloc(bytes ? bytes : 1, 1));
  if (!o->data) die("out of host memory");
  return o;
}

ClassInfo* add_class(Vm* vm, const std::string& name, ClassInfo* super) {
  if (vm->classes.count(name)) die("class " + name + " defined twice");
  auto info = std::make_unique<ClassInfo>();
  info->name = name;
  info->super = super;
  ClassInfo* c = info.get();
  vm->classes[name] = std::move(info);
  if (vm->class_class) {
    c->mirror = make_object(vm, vm->class_class);
    c->mirror->represents = c;
  }
  return c;
}

void add_field(Vm* vm, ClassInfo* c, const std::string& name, const std::string& sig) {
  auto f = std::make_unique<FieldInfo>();
  f->name = name;
  f->sig = sig;
  f->owner = c;
  vm->field_ids.insert(f.get());
  c->fields.push_back(std::move(f));
}

void add_method(Vm* vm, ClassInfo* c, const std::string& name, const std::string& sig,
                MethodImpl impl) {
  if (!parse_sig(sig, nullptr, nullptr)) die("bad method signature " + sig);
  if (MethodInfo* m = find_method(c, name, sig, false)) {
    m->impl = std::move(impl);
    return;
  }
  auto m = std::make_unique<MethodInfo>();
  m->name = name;
  m->sig = sig;
  m->owner = c;
  m->impl = std::move(impl);
  vm->method_ids.insert(m.get());
  c->methods.push_back(std::move(m));
}

// ---- Threads and references -------------------------------------------------

Thread* this_thread(Vm* vm, bool create) {
  std::thread::id id = std::this_thread::get_id();
  auto it = vm->threads.find(id);
  if (it != vm->threads.end()) return it->second.get();
  if (!create) return nullptr;
  auto t = std::make_unique<Thread>();
  t->handle.env.functions = &vm->table;
  t->handle.vm = vm;
  t->handle.thread = t.get();
  t->id = id;
  Thread* raw = t.get();
  vm->threads[id] = std::move(t);
  return raw;
}

void kill_local(Ref* r) {
  if (!r->live) return;
  r->live = false;
  Thread* t = r->owner;
  if (r->frame < t->frames.size()) --t->frames[r->frame].live;
  --t->live_locals;
}

void pop_frame(Thread* t) {
  Frame& f = t->frames.back();
  for (Ref* r : f.refs)
    if (r->live) {
      r->live = false;
      --t->live_locals;
    }
  t->frames.pop_back();
}

void attach_thread(Thread* t) {
  if (t->attached) return;
  t->attached = true;
  t->frames.assign(1, Frame());
  t->live_locals = 0;
  t->high_water = 0;
  t->pending = nullptr;
}

void detach_thread(Thread* t) {
  while (!t->frames.empty()) pop_frame(t);
  t->attached = false;
  t->pending = nullptr;
}

jobject new_local(Vm* vm, Thread* t, Object* o) {
  if (!o) return nullptr;
  if (t->frames.empty()) t->frames.emplace_back();  // a detached thread still gets a home
  Frame& f = t->frames.back();
  vm->ref_store.push_back(Ref{o, RefKind::Local, t, t->frames.size() - 1, true});
  Ref* r = &vm->ref_store.back();
  vm->refs.insert(r);
  if (f.refs.size() >= 2 * f.live + 64) {
    std::vector<Ref*> keep;
    for (Ref* x : f.refs)
      if (x->live) keep.push_back(x);
    f.refs.swap(keep);
  }
  f.refs.push_back(r);
  ++f.live;
  ++t->live_locals;
  if (t->live_locals > t->high_water) t->high_water = t->live_locals;
  return reinterpret_cast<jobject>(r);
}

jobject new_global(Vm* vm, Object* o) {
  if (!o) return nullptr;
  vm->ref_store.push_back(Ref{o, RefKind::Global, nullptr, 0, true});
  Ref* r = &vm->ref_store.back();
  vm->refs.insert(r);
  ++vm->globals;
  return reinterpret_cast<jobject>(r);
}

Ref* lookup_ref(Vm* vm, jobject ref) {
  if (!ref || !vm->refs.count(ref)) return nullptr;
  return reinterpret_cast<Ref*>(ref);
}

// The object behind a reference, for a JNI function; what a checking VM
// would complain about is recorded, and the call goes on where it can.
Object* resolve(Vm* vm, Thread* t, const char* fn, jobject ref) {
  if (!ref) return nullptr;
  Ref* r = lookup_ref(vm, ref);
  if (!r) {
    violation(vm, fn, "invalid reference (not handed out by this VM)");
    return nullptr;
  }
  if (!r->live) violation(vm, fn, "use of a deleted reference");
  if (r->kind == RefKind::Local && r->owner != t)
    violation(vm, fn, "local reference of another thread");
  return r->obj;
}

// The same for the helpers of fakejni.h, where a bad handle is a bug of the
// test itself.
Object* helper_resolve(Vm* vm, jobject ref, const char* helper) {
  if (!ref) return nullptr;
  Ref* r = lookup_ref(vm, ref);
  if (!r) die(std::string(helper) + ": not a reference of this VM");
  return r->obj;
}

// ---- Entering a JNI function ------------------------------------------------

struct Call {
  Vm* vm;
  Thread* t;
  const char* fn;
  std::unique_lock<std::mutex> lk;
  JNIEnv* env() { return &t->handle.env; }
  Object* res(jobject ref) { return resolve(vm, t, fn, ref); }
  void bad(const std::string& what) { violation(vm, fn, what); }
  jobject local(Object* o) { return new_local(vm, t, o); }
};

EnvHandle* handle_of(JNIEnv* env) {
  if (!env) die("JNI function called with a null JNIEnv");
  return reinterpret_cast<EnvHandle*>(env);
}

// pending_ok: the function is one JNI allows while an exception is pending.
Call enter(JNIEnv* env, const char* fn, bool pending_ok = false) {
  EnvHandle* h = handle_of(env);
  Call c{h->vm, h->thread, fn, std::unique_lock<std::mutex>(h->vm->mu)};
  if (c.t->id != std::this_thread::get_id())
    c.bad("JNIEnv used on a thread it does not belong to");
  else if (!c.t->attached)
    c.bad("JNIEnv of a detached thread");
  if (c.t->pending && !pending_ok) c.bad("called with an exception pending");
  return c;
}

void raise(Vm* vm, Thread* t, const std::string& cls_name, const std::string* msg) {
  ClassInfo* cls = find_class_info(vm, cls_name);
  if (!cls) die("no exception class " + cls_name);
  Object* e = make_object(vm, cls);
  if (msg) e->fields[vm->detail_message].o = make_string(vm, from_modified_utf8(*msg));
  t->pending = e;
}

void raise(Call& c, const std::string& cls_name, const std::string& msg) {
  raise(c.vm, c.t, cls_name, &msg);
}

bool alloc_fails(Vm* vm, unsigned kind) {
  Faults& f = vm->faults;
  if (!(f.alloc_kinds & kind) || f.alloc_remaining < 0) return false;
  if (f.alloc_remaining == 0) return true;
  if (--f.alloc_remaining == 0) {
    f.alloc_kinds = 0;
    f.alloc_remaining = -1;
    return true;
  }
  return false;
}

bool out_of_memory(Call& c, unsigned kind) {
  if (!alloc_fails(c.vm, kind)) return false;
  raise(c, "java/lang/OutOfMemoryError", "Java heap space");
  return true;
}

ClassInfo* class_arg(Call& c, jclass cls) {
  Object* o = c.res(cls);
  if (!o) {
    c.bad("null class");
    return nullptr;
  }
  if (!o->represents) {
    c.bad("not a class object: an instance of " + o->cls->name);
    return nullptr;
  }
  return o->represents;
}

Object* object_arg(Call& c, jobject obj) {
  Object* o = c.res(obj);
  if (!o) c.bad("null object");
  return o;
}

Object* array_arg(Call& c, jarray arr, char want) {
  Object* o = c.res(arr);
  if (!o) {
    c.bad("null array");
    return nullptr;
  }
  if (!o->is_array) {
    c.bad("not an array: an instance of " + o->cls->name);
    return nullptr;
  }
  if (want && o->elem != want)
    c.bad(std::string("array is ") + prim_name(o->elem) + "[], not " + prim_name(want) + "[]");
  return o;
}

Object* string_arg(Call& c, jstring s) {
  Object* o = c.res(s);
  if (!o) {
    c.bad("null string");
    return nullptr;
  }
  if (!o->is_string) {
    c.bad("not a string: an instance of " + o->cls->name);
    return nullptr;
  }
  return o;
}

// ---- Version, classes -------------------------------------------------------

jint JNICALL GetVersion(JNIEnv* env) {
  Call c = enter(env, "GetVersion");
  return JNI_VERSION_1_8;
}

jclass JNICALL FindClass(JNIEnv* env, const char* name) {
  Call c = enter(env, "FindClass");
  if (!name) {
    c.bad("null name");
    return nullptr;
  }
  ClassInfo* cls = find_class_info(c.vm, name);
  if (!cls || c.vm->faults.find_class.count(name)) {
    raise(c, "java/lang/NoClassDefFoundError", name);
    return nullptr;
  }
  return static_cast<jclass>(c.local(cls->mirror));
}

jclass JNICALL GetSuperclass(JNIEnv* env, jclass sub) {
  Call c = enter(env, "GetSuperclass");
  ClassInfo* cls = class_arg(c, sub);
  if (!cls || !cls->super) return nullptr;
  return static_cast<jclass>(c.local(cls->super->mirror));
}

jboolean JNICALL IsAssignableFrom(JNIEnv* env, jclass sub, jclass sup) {
  Call c = enter(env, "IsAssignableFrom");
  ClassInfo* a = class_arg(c, sub);
  ClassInfo* b = class_arg(c, sup);
  return (a && b && is_subclass(a, b)) ? JNI_TRUE : JNI_FALSE;
}

jclass JNICALL GetObjectClass(JNIEnv* env, jobject obj) {
  Call c = enter(env, "GetObjectClass");
  Object* o = object_arg(c, obj);
  if (!o) return nullptr;
  return static_cast<jclass>(c.local(o->cls->mirror));
}

jboolean JNICALL IsInstanceOf(JNIEnv* env, jobject obj, jclass clazz) {
  Call c = enter(env, "IsInstanceOf");
  Object* o = c.res(obj);
  ClassInfo* cls = class_arg(c, clazz);
  if (!cls) return JNI_FALSE;
  if (!o) return JNI_TRUE;  // null is an instance of every class
  return is_subclass(o->cls, cls) ? JNI_TRUE : JNI_FALSE;
}

// ---- Exceptions ----------------------------------------------------------------

jint JNICALL Throw(JNIEnv* env, jthrowable obj) {
  Call c = enter(env, "Throw");
  Object* o = object_arg(c, obj);
  if (!o) return JNI_ERR;
  if (!is_subclass(o->cls, c.vm->throwable_class)) {
    c.bad("not a Throwable: an instance of " + o->cls->name);
    return JNI_ERR;
  }
  c.t->pending = o;
  return JNI_OK;
}

jint JNICALL ThrowNew(JNIEnv* env, jclass clazz, const char* msg) {
  Call c = enter(env, "ThrowNew");
  ClassInfo* cls = class_arg(c, clazz);
  if (!cls) return JNI_ERR;
  if (!is_subclass(cls, c.vm->throwable_class)) {
    c.bad("not a Throwable class: " + cls->name);
    return JNI_ERR;
  }
  std::string m = msg ? msg : "";
  raise(c.vm, c.t, cls->name, msg ? &m : nullptr);
  return JNI_OK;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
  Call c = enter(env, "ExceptionOccurred", true);
  return static_cast<jthrowable>(c.local(c.t->pending));
}

void JNICALL ExceptionDescribe(JNIEnv* env) {
  Call c = enter(env, "ExceptionDescribe", true);
  ++c.vm->counters.describe_calls;
  Object* e = c.t->pending;
  if (!e) return;
  std::string text = e->cls->name;
  auto it = e->fields.find(c.vm->detail_message);
  if (it != e->fields.end() && it->second.o && it->second.o->is_string)
    text += ": " + utf8_of(it->second.o->str);
  c.vm->described.push_back(text);
  std::fprintf(stderr, "Exception in thread \"fakejni\" %s\n", dotted(text).c_str());
  c.t->pending = nullptr;
}

void JNICALL ExceptionClear(JNIEnv* env) {
  Call c = enter(env, "ExceptionClear", true);
  c.t->pending = nullptr;
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) {
  Call c = enter(env, "ExceptionCheck", true);
  return c.t->pending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL FatalError(JNIEnv*, const char* msg) {
  die(std::string("FatalError: ") + (msg ? msg : "(null)"));
}

// ---- References -----------------------------------------------------------------

jint JNICALL PushLocalFrame(JNIEnv* env, jint capacity) {
  Call c = enter(env, "PushLocalFrame", true);
  if (capacity < 0) {
    c.bad("negative capacity");
    return JNI_ERR;
  }
  c.t->frames.emplace_back();
  return JNI_OK;
}

jobject JNICALL PopLocalFrame(JNIEnv* env, jobject result) {
  Call c = enter(env, "PopLocalFrame", true);
  Object* o = c.res(result);
  if (c.t->frames.size() <= 1) {
    c.bad("no frame pushed with PushLocalFrame");
    return c.local(o);
  }
  pop_frame(c.t);
  return c.local(o);
}

jobject JNICALL NewGlobalRef(JNIEnv* env, jobject obj) {
  Call c = enter(env, "NewGlobalRef");
  Object* o = c.res(obj);
  return new_global(c.vm, o);
}

void JNICALL DeleteGlobalRef(JNIEnv* env, jobject gref) {
  Call c = enter(env, "DeleteGlobalRef", true);
  if (!gref) return;
  Ref* r = lookup_ref(c.vm, gref);
  if (!r) {
    c.bad("invalid reference (not handed out by this VM)");
  } else if (r->kind != RefKind::Global) {
    c.bad("not a global reference");
  } else if (!r->live) {
    c.bad("global reference deleted twice");
  } else {
    r->live = false;
    --c.vm->globals;
  }
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject obj) {
  Call c = enter(env, "DeleteLocalRef", true);
  if (!obj) return;
  Ref* r = lookup_ref(c.vm, obj);
  if (!r) {
    c.bad("invalid reference (not handed out by this VM)");
  } else if (r->kind != RefKind::Local) {
    c.bad("not a local reference");
  } else if (!r->live) {
    c.bad("local reference deleted twice");
  } else {
    if (r->owner != c.t) c.bad("local reference of another thread");
    kill_local(r);
  }
}

jboolean JNICALL IsSameObject(JNIEnv* env, jobject a, jobject b) {
  Call c = enter(env, "IsSameObject");
  return c.res(a) == c.res(b) ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL NewLocalRef(JNIEnv* env, jobject ref) {
  Call c = enter(env, "NewLocalRef");
  return c.local(c.res(ref));
}

jint JNICALL EnsureLocalCapacity(JNIEnv* env, jint capacity) {
  Call c = enter(env, "EnsureLocalCapacity");
  if (capacity < 0) {
    c.bad("negative capacity");
    return JNI_ERR;
  }
  return JNI_OK;
}

jobjectRefType JNICALL GetObjectRefType(JNIEnv* env, jobject obj) {
  Call c = enter(env, "GetObjectRefType");
  Ref* r = lookup_ref(c.vm, obj);
  if (!r || !r->live) return JNIInvalidRefType;
  return r->kind == RefKind::Local ? JNILocalRefType : JNIGlobalRefType;
}

jint JNICALL GetJavaVM(JNIEnv* env, JavaVM** out) {
  Call c = enter(env, "GetJavaVM");
  if (!out) {
    c.bad("null result pointer");
    return JNI_ERR;
  }
  *out = &c.vm->jvm_handle.jvm;
  return JNI_OK;
}

// ---- Methods and objects --------------------------------------------------------

jmethodID JNICALL GetMethodID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
  Call c = enter(env, "GetMethodID");
  ClassInfo* cls = class_arg(c, clazz);
  if (!cls) return nullptr;
  if (!name || !sig) {
    c.bad("null name or signature");
    return nullptr;
  }
  const Faults& f = c.vm->faults;
  MethodInfo* m = nullptr;
  if (!f.method_named.count(name) && !f.method.count(std::make_tuple(cls->name, name, sig)))
    m = find_method(cls, name, sig, std::strcmp(name, "<init>") != 0);
  if (!m) {
    raise(c, "java/lang/NoSuchMethodError", name);
    return nullptr;
  }
  return reinterpret_cast<jmethodID>(m);
}

MethodInfo* method_arg(Call& c, jmethodID id) {
  if (!id || !c.vm->method_ids.count(id)) {
    c.bad(id ? "invalid method ID" : "null method ID");
    return nullptr;
  }
  return reinterpret_cast<MethodInfo*>(id);
}

// Runs a Java method body with the lock released.  The body gets a frame
// of its own; an object result comes back as a new local of the caller.
jvalue invoke(Call& c, MethodInfo* m, jobject self, const jvalue* args) {
  std::vector<char> params;
  char ret = 'V';
  parse_sig(m->sig, &params, &ret);
  for (size_t i = 0; i < params.size(); ++i)
    if (params[i] == 'L' && args) c.res(args[i].l);
  MethodImpl impl = m->impl;
  size_t depth = c.t->frames.size();
  c.t->frames.emplace_back();
  c.lk.unlock();
  jvalue r = impl ? impl(c.env(), self, args) : jv_void();
  c.lk.lock();
  Object* result = is_ref_type(ret) ? c.res(r.l) : nullptr;
  if (c.t->frames.size() < depth + 1) c.bad("Java method popped its caller's local frame");
  while (c.t->frames.size() > depth && c.t->frames.size() > 1) pop_frame(c.t);
  if (ret == 'V') r = jv_void();
  if (is_ref_type(ret)) r.l = c.local(result);
  return r;
}

std::vector<jvalue> args_from_va(const MethodInfo* m, va_list ap) {
  std::vector<char> params;
  parse_sig(m->sig, &params, nullptr);
  std::vector<jvalue> out(params.size() + 1);
  for (size_t i = 0; i < params.size(); ++i) {
    jvalue v;
    v.j = 0;
    switch (params[i]) {
      // Default argument promotions: the small types travel as int,
      // float as double.
      case 'Z': v.z = static_cast<jboolean>(va_arg(ap, int)); break;
      case 'B': v.b = static_cast<jbyte>(va_arg(ap, int)); break;
      case 'C': v.c = static_cast<jchar>(va_arg(ap, int)); break;
      case 'S': v.s = static_cast<jshort>(va_arg(ap, int)); break;
      case 'I': v.i = va_arg(ap, jint); break;
      case 'J': v.j = va_arg(ap, jlong); break;
      case 'F': v.f = static_cast<jfloat>(va_arg(ap, double)); break;
      case 'D': v.d = va_arg(ap, double); break;
      default: v.l = va_arg(ap, jobject); break;
    }
    out[i] = v;
  }
  return out;
}

// The method of a V-form call, looked up under the lock so that its
// signature can be read before the body runs.
const MethodInfo* peek_method(JNIEnv* env, jmethodID id) {
  Vm* vm = handle_of(env)->vm;
  std::lock_guard<std::mutex> g(vm->mu);
  if (!id || !vm->method_ids.count(id)) return nullptr;
  return reinterpret_cast<const MethodInfo*>(id);
}

jobject new_object_core(JNIEnv* env, const char* fn, jclass clazz, jmethodID id,
                        const jvalue* args) {
  Call c = enter(env, fn);
  ClassInfo* cls = class_arg(c, clazz);
  MethodInfo* m = method_arg(c, id);
  if (!cls || !m) return nullptr;
  if (m->name != "<init>" || m->owner != cls) {
    c.bad("method ID is not a constructor of " + cls->name);
    return nullptr;
  }
  if (cls->elem || cls == c.vm->string_class || cls == c.vm->class_class) {
    c.bad("cannot instantiate " + cls->name);
    return nullptr;
  }
  if (out_of_memory(c, kAllocObject)) return nullptr;
  Object* o = make_object(c.vm, cls);
  jobject self = c.local(o);
  Object* before = c.t->pending;
  invoke(c, m, self, args);
  if (c.t->pending && c.t->pending != before) {
    // A constructor that throws gives no object.
    Ref* r = lookup_ref(c.vm, self);
    if (r) kill_local(r);
    return nullptr;
  }
  return self;
}

jobject JNICALL NewObjectA(JNIEnv* env, jclass clazz, jmethodID id, const jvalue* args) {
  return new_object_core(env, "NewObjectA", clazz, id, args);
}

jobject new_object_v(JNIEnv* env, const char* fn, jclass clazz, jmethodID id, va_list ap) {
  const MethodInfo* m = peek_method(env, id);
  std::vector<jvalue> args;
  if (m) args = args_from_va(m, ap);
  return new_object_core(env, fn, clazz, id, m ? args.data() : nullptr);
}

jobject JNICALL NewObjectV(JNIEnv* env, jclass clazz, jmethodID id, va_list ap) {
  return new_object_v(env, "NewObjectV", clazz, id, ap);
}

jobject JNICALL NewObject(JNIEnv* env, jclass clazz, jmethodID id, ...) {
  va_list ap;
  va_start(ap, id);
  jobject r = new_object_v(env, "NewObject", clazz, id, ap);
  va_end(ap);
  return r;
}

jobject JNICALL AllocObject(JNIEnv* env, jclass clazz) {
  Call c = enter(env, "AllocObject");
  ClassInfo* cls = class_arg(c, clazz);
  if (!cls) return nullptr;
  if (out_of_memory(c, kAllocObject)) return nullptr;
  return c.local(make_object(c.vm, cls));
}

jvalue call_core(JNIEnv* env, const char* fn, char want, jobject obj, jmethodID id,
                 const jvalue* args) {
  Call c = enter(env, fn);
  Object* o = object_arg(c, obj);
  MethodInfo* m = method_arg(c, id);
  if (!o || !m) return jv_void();
  if (m->name == "<init>") {
    c.bad("constructor called as a method");
    return jv_void();
  }
  if (!is_subclass(o->cls, m->owner)) {
    c.bad("method " + m->owner->name + "." + m->name + " called on an instance of " +
          o->cls->name);
    return jv_void();
  }
  char ret = 'V';
  parse_sig(m->sig, nullptr, &ret);
  if ((is_ref_type(ret) ? 'L' : ret) != want)
    c.bad("method " + m->name + m->sig + " does not return what " + fn + " expects");
  MethodInfo* target = find_method(o->cls, m->name, m->sig, true);
  return invoke(c, target ? target : m, obj, args);
}

jvalue call_v(JNIEnv* env, const char* fn, char want, jobject obj, jmethodID id, va_list ap) {
  const MethodInfo* m = peek_method(env, id);
  std::vector<jvalue> args;
  if (m) args = args_from_va(m, ap);
  return call_core(env, fn, want, obj, id, m ? args.data() : nullptr);
}

#define FAKEJNI_CALLS(T, jt, want, member)                                                 \
  jt JNICALL Call##T##MethodA(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args) { \
    return call_core(env, "Call" #T "MethodA", want, obj, id, args).member;                 \
  }                                                                                        \
  jt JNICALL Call##T##MethodV(JNIEnv* env, jobject obj, jmethodID id, va_list ap) {         \
    return call_v(env, "Call" #T "MethodV", want, obj, id, ap).member;                      \
  }                                                                                        \
  jt JNICALL Call##T##Method(JNIEnv* env, jobject obj, jmethodID id, ...) {                 \
    va_list ap;                                                                            \
    va_start(ap, id);                                                                      \
    jvalue r = call_v(env, "Call" #T "Method", want, obj, id, ap);                         \
    va_end(ap);                                                                            \
    return r.member;                                                                       \
  }

FAKEJNI_CALLS(Object, jobject, 'L', l)
FAKEJNI_CALLS(Boolean, jboolean, 'Z', z)
FAKEJNI_CALLS(Byte, jbyte, 'B', b)
FAKEJNI_CALLS(Char, jchar, 'C', c)
FAKEJNI_CALLS(Short, jshort, 'S', s)
FAKEJNI_CALLS(Int, jint, 'I', i)
FAKEJNI_CALLS(Long, jlong, 'J', j)
FAKEJNI_CALLS(Float, jfloat, 'F', f)
FAKEJNI_CALLS(Double, jdouble, 'D', d)
#undef FAKEJNI_CALLS

void JNICALL CallVoidMethodA(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args) {
  call_core(env, "CallVoidMethodA", 'V', obj, id, args);
}
void JNICALL CallVoidMethodV(JNIEnv* env, jobject obj, jmethodID id, va_list ap) {
  call_v(env, "CallVoidMethodV", 'V', obj, id, ap);
}
void JNICALL CallVoidMethod(JNIEnv* env, jobject obj, jmethodID id, ...) {
  va_list ap;
  va_start(ap, id);
  call_v(env, "CallVoidMethod", 'V', obj, id, ap);
  va_end(ap);
}

// ---- Fields -----------------------------------------------------------------------

jfieldID JNICALL GetFieldID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
  Call c = enter(env, "GetFieldID");
  ClassInfo* cls = class_arg(c, clazz);
  if (!cls) return nullptr;
  if (!name || !sig) {
    c.bad("null name or signature");
    return nullptr;
  }
  for (const auto& f : c.vm->faults.field) {
    ClassInfo* fc = find_class_info(c.vm, f.first);
    if (f.second == name && fc && is_subclass(cls, fc)) {
      raise(c, "java/lang/NoSuchFieldError", name);
      return nullptr;
    }
  }
  std::string s = sig;
  const FieldInfo* fi = find_field(cls, name, &s);
  if (!fi) {
    raise(c, "java/lang/NoSuchFieldError", name);
    return nullptr;
  }
  return reinterpret_cast<jfieldID>(const_cast<FieldInfo*>(fi));
}

// The slot of a field for Get/Set<Type>Field, or null after recording why
// the access is wrong.
Slot* field_slot(Call& c, jobject obj, jfieldID id, char want) {
  Object* o = object_arg(c, obj);
  if (!id || !c.vm->field_ids.count(id)) {
    c.bad(id ? "invalid field ID" : "null field ID");
    return nullptr;
  }
  const FieldInfo* f = reinterpret_cast<const FieldInfo*>(id);
  if (!o) return nullptr;
  if (!is_subclass(o->cls, f->owner)) {
    c.bad("field " + f->owner->name + "." + f->name + " used on an instance of " +
          o->cls->name);
    return nullptr;
  }
  bool fits = want == 'L' ? is_ref_type(f->sig[0]) : f->sig[0] == want;
  if (!fits) c.bad("field " + f->name + " has type " + f->sig + ", accessed as " + prim_name(want));
  auto it = o->fields.find(f);
  if (it == o->fields.end()) {
    Slot zero;
    zero.v.j = 0;
    zero.o = nullptr;
    it = o->fields.emplace(f, zero).first;
  }
  return &it->second;
}

jobject JNICALL GetObjectField(JNIEnv* env, jobject obj, jfieldID id) {
  Call c = enter(env, "GetObjectField");
  Slot* s = field_slot(c, obj, id, 'L');
  return s ? c.local(s->o) : nullptr;
}

void JNICALL SetObjectField(JNIEnv* env, jobject obj, jfieldID id, jobject val) {
  Call c = enter(env, "SetObjectField");
  Object* v = c.res(val);
  Slot* s = field_slot(c, obj, id, 'L');
  if (s) s->o = v;
}

#define FAKEJNI_FIELDS(T, jt, want, member)                                    \
  jt JNICALL Get##T##Field(JNIEnv* env, jobject obj, jfieldID id) {           \
    Call c = enter(env, "Get" #T "Field");                                    \
    Slot* s = field_slot(c, obj, id, want);                                   \
    return s ? s->v.member : jt();                                            \
  }                                                                           \
  void JNICALL Set##T##Field(JNIEnv* env, jobject obj, jfieldID id, jt val) { \
    Call c = enter(env, "Set" #T "Field");                                    \
    Slot* s = field_slot(c, obj, id, want);                                   \
    if (s) {                                                                  \
      s->v.j = 0;                                                             \
      s->v.member = val;                                                      \
    }                                                                         \
  }

FAKEJNI_FIELDS(Boolean, jboolean, 'Z', z)
FAKEJNI_FIELDS(Byte, jbyte, 'B', b)
FAKEJNI_FIELDS(Char, jchar, 'C', c)
FAKEJNI_FIELDS(Short, jshort, 'S', s)
FAKEJNI_FIELDS(Int, jint, 'I', i)
FAKEJNI_FIELDS(Long, jlong, 'J', j)
FAKEJNI_FIELDS(Float, jfloat, 'F', f)
FAKEJNI_FIELDS(Double, jdouble, 'D', d)
#undef FAKEJNI_FIELDS

// ---- Strings ----------------------------------------------------------------------

jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize len) {
  Call c = enter(env, "NewString");
  if (len < 0 || (len > 0 && !chars)) {
    c.bad("bad length or null characters");
    return nullptr;
  }
  if (out_of_memory(c, kAllocString)) return nullptr;
  std::u16string s;
  for (jsize i = 0; i < len; ++i) s += static_cast<char16_t>(chars[i]);
  return static_cast<jstring>(c.local(make_string(c.vm, s)));
}

jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
  Call c = enter(env, "NewStringUTF");
  if (!utf) return nullptr;
  if (out_of_memory(c, kAllocString)) return nullptr;
  return static_cast<jstring>(c.local(make_string(c.vm, from_modified_utf8(utf))));
}

jsize JNICALL GetStringLength(JNIEnv* env, jstring str) {
  Call c = enter(env, "GetStringLength");
  Object* s = string_arg(c, str);
  return s ? static_cast<jsize>(s->str.size()) : 0;
}

jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring str) {
  Call c = enter(env, "GetStringUTFLength");
  Object* s = string_arg(c, str);
  return s ? static_cast<jsize>(to_modified_utf8(s->str).size()) : 0;
}

void* hand_out(Object* s, const void* src, size_t bytes, BufKind kind) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) die("out of host memory");
  if (bytes) std::memcpy(p, src, bytes);
  s->buffers.push_back(Buffer{p, true, kind});
  return p;
}

bool take_back(Call& c, Object* o, const void* p, BufKind kind) {
  for (size_t i = 0; i < o->buffers.size(); ++i) {
    if (o->buffers[i].ptr != p || o->buffers[i].kind != kind) continue;
    if (o->buffers[i].copy) std::free(o->buffers[i].ptr);
    o->buffers.erase(o->buffers.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  c.bad("pointer was not handed out for this string");
  return false;
}

const jchar* string_chars_core(JNIEnv* env, const char* fn, jstring str, jboolean* isCopy,
                               BufKind kind) {
  Call c = enter(env, fn);
  Object* s = string_arg(c, str);
  if (!s) return nullptr;
  if (out_of_memory(c, kAllocElements)) return nullptr;
  std::vector<jchar> units(s->str.begin(), s->str.end());
  if (isCopy) *isCopy = JNI_TRUE;
  // Exactly the units, no terminator: JNI promises none.
  return static_cast<const jchar*>(hand_out(s, units.data(), units.size() * sizeof(jchar), kind));
}

const jchar* JNICALL GetStringChars(JNIEnv* env, jstring str, jboolean* isCopy) {
  return string_chars_core(env, "GetStringChars", str, isCopy, BufKind::Chars);
}

const jchar* JNICALL GetStringCritical(JNIEnv* env, jstring str, jboolean* isCopy) {
  return string_chars_core(env, "GetStringCritical", str, isCopy, BufKind::StringCritical);
}

void JNICALL ReleaseStringChars(JNIEnv* env, jstring str, const jchar* chars) {
  Call c = enter(env, "ReleaseStringChars", true);
  if (Object* s = string_arg(c, str)) take_back(c, s, chars, BufKind::Chars);
}

void JNICALL ReleaseStringCritical(JNIEnv* env, jstring str, const jchar* chars) {
  Call c = enter(env, "ReleaseStringCritical", true);
  if (Object* s = string_arg(c, str)) take_back(c, s, chars, BufKind::StringCritical);
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
  Call c = enter(env, "GetStringUTFChars");
  Object* s = string_arg(c, str);
  if (!s) return nullptr;
  if (out_of_memory(c, kAllocElements)) return nullptr;
  std::string utf = to_modified_utf8(s->str);
  if (isCopy) *isCopy = JNI_TRUE;
  return static_cast<const char*>(hand_out(s, utf.c_str(), utf.size() + 1, BufKind::Utf));
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring str, const char* chars) {
  Call c = enter(env, "ReleaseStringUTFChars", true);
  if (Object* s = string_arg(c, str)) take_back(c, s, chars, BufKind::Utf);
}

bool string_range(Call& c, Object* s, jsize start, jsize len) {
  if (start < 0 || len < 0 ||
      static_cast<int64_t>(start) + len > static_cast<int64_t>(s->str.size())) {
    raise(c, "java/lang/StringIndexOutOfBoundsException",
          "String region " + std::to_string(start) + ".." +
              std::to_string(static_cast<int64_t>(start) + len) + " out of bounds for length " +
              std::to_string(s->str.size()));
    return false;
  }
  return true;
}

void JNICALL GetStringRegion(JNIEnv* env, jstring str, jsize start, jsize len, jchar* buf) {
  Call c = enter(env, "GetStringRegion");
  Object* s = string_arg(c, str);
  if (!s || !string_range(c, s, start, len)) return;
  for (jsize i = 0; i < len; ++i) buf[i] = s->str[static_cast<size_t>(start + i)];
}

void JNICALL GetStringUTFRegion(JNIEnv* env, jstring str, jsize start, jsize len, char* buf) {
  Call c = enter(env, "GetStringUTFRegion");
  Object* s = string_arg(c, str);
  if (!s || !string_range(c, s, start, len)) return;
  std::string utf = to_modified_utf8(s->str.substr(static_cast<size_t>(start),
                                                   static_cast<size_t>(len)));
  std::memcpy(buf, utf.c_str(), utf.size() + 1);
}

// ---- Arrays -----------------------------------------------------------------------

jarray new_array(JNIEnv* env, const char* fn, char elem, jsize len) {
  Call c = enter(env, fn);
  if (len < 0) {
    raise(c, "java/lang/OutOfMemoryError", "negative array size " + std::to_string(len));
    return nullptr;
  }
  if (out_of_memory(c, kAllocArray)) return nullptr;
  return static_cast<jarray>(c.local(make_array(c.vm, elem, len)));
}

jsize JNICALL GetArrayLength(JNIEnv* env, jarray arr) {
  Call c = enter(env, "GetArrayLength");
  Object* a = array_arg(c, arr, 0);
  if (a && a->reported_length >= 0) return a->reported_length;
  return a ? a->length : 0;
}

void* get_elements(JNIEnv* env, const char* fn, jarray arr, jboolean* isCopy, char want,
                   BufKind kind) {
  Call c = enter(env, fn);
  Object* a = array_arg(c, arr, want);
  if (!a) return nullptr;
  if (out_of_memory(c, kAllocElements)) return nullptr;
  ++a->gets;
  size_t bytes = static_cast<size_t>(a->length) * a->elem_size;
  void* p;
  bool copy = c.vm->copy_elements;
  if (a->length == 0 && c.vm->shared_empty_elements) {
    p = c.vm->shared_empty;
    copy = false;
  } else if (copy) {
    p = std::malloc(bytes ? bytes : 1);
    if (!p) die("out of host memory");
    std::memcpy(p, a->data, bytes);
  } else {
    p = a->data;
  }
  a->buffers.push_back(Buffer{p, copy, kind});
  if (isCopy) *isCopy = copy ? JNI_TRUE : JNI_FALSE;
  return p;
}

void release_elements(JNIEnv* env, const char* fn, jarray arr, void* elems, jint mode, char want,
                      BufKind kind) {
  Call c = enter(env, fn, true);
  Object* a = array_arg(c, arr, want);
  if (!a) return;
  if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT) {
    c.bad("unknown release mode " + std::to_string(mode));
    return;
  }
  size_t i = 0;
  while (i < a->buffers.size() && a->buffers[i].ptr != elems) ++i;
  if (i == a->buffers.size()) {
    c.bad("pointer was not handed out by this array");
    return;
  }
  Buffer b = a->buffers[i];
  if (b.kind != kind)
    c.bad(kind == BufKind::Critical ? "buffer came from Get<Prim>ArrayElements"
                                    : "buffer came from GetPrimitiveArrayCritical");
  a->release_modes.push_back(mode);
  size_t bytes = static_cast<size_t>(a->length) * a->elem_size;
  if (b.copy && mode != JNI_ABORT) std::memcpy(a->data, b.ptr, bytes);
  if (mode != JNI_COMMIT) {
    if (b.copy) std::free(b.ptr);
    a->buffers.erase(a->buffers.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void array_region(JNIEnv* env, const char* fn, jarray arr, jsize start, jsize len, void* out,
                  const void* in, char want) {
  Call c = enter(env, fn);
  Object* a = array_arg(c, arr, want);
  if (!a) return;
  if (start < 0 || len < 0 || static_cast<int64_t>(start) + len > a->length) {
    raise(c, "java/lang/ArrayIndexOutOfBoundsException",
          "Array region " + std::to_string(start) + ".." +
              std::to_string(static_cast<int64_t>(start) + len) + " out of bounds for length " +
              std::to_string(a->length));
    return;
  }
  size_t off = static_cast<size_t>(start) * a->elem_size;
  size_t bytes = static_cast<size_t>(len) * a->elem_size;
  if (!bytes) return;
  if (out) std::memcpy(out, a->data + off, bytes);
  if (in) std::memcpy(a->data + off, in, bytes);
}

void* JNICALL GetPrimitiveArrayCritical(JNIEnv* env, jarray arr, jboolean* isCopy) {
  return get_elements(env, "GetPrimitiveArrayCritical", arr, isCopy, 0, BufKind::Critical);
}

void JNICALL ReleasePrimitiveArrayCritical(JNIEnv* env, jarray arr, void* carray, jint mode) {
  release_elements(env, "ReleasePrimitiveArrayCritical", arr, carray, mode, 0, BufKind::Critical);
}

#define FAKEJNI_ARRAYS(T, t, jt, tag)                                                           \
  j##t##Array JNICALL New##T##Array(JNIEnv* env, jsize len) {                                  \
    return static_cast<j##t##Array>(new_array(env, "New" #T "Array", tag, len));               \
  }                                                                                             \
  jt* JNICALL Get##T##ArrayElements(JNIEnv* env, j##t##Array a, jboolean* isCopy) {            \
    return static_cast<jt*>(                                                                    \
        get_elements(env, "Get" #T "ArrayElements", a, isCopy, tag, BufKind::Elements));        \
  }                                                                                             \
  void JNICALL Release##T##ArrayElements(JNIEnv* env, j##t##Array a, jt* e, jint mode) {       \
    release_elements(env, "Release" #T "ArrayElements", a, e, mode, tag, BufKind::Elements);    \
  }                                                                                             \
  void JNICALL Get##T##ArrayRegion(JNIEnv* env, j##t##Array a, jsize s, jsize l, jt* buf) {    \
    array_region(env, "Get" #T "ArrayRegion", a, s, l, buf, nullptr, tag);                      \
  }                                                                                             \
  void JNICALL Set##T##ArrayRegion(JNIEnv* env, j##t##Array a, jsize s, jsize l,               \
                                   const jt* buf) {                                             \
    array_region(env, "Set" #T "ArrayRegion", a, s, l, nullptr, buf, tag);                      \
  }

FAKEJNI_ARRAYS(Boolean, boolean, jboolean, 'Z')
FAKEJNI_ARRAYS(Byte, byte, jbyte, 'B')
FAKEJNI_ARRAYS(Char, char, jchar, 'C')
FAKEJNI_ARRAYS(Short, short, jshort, 'S')
FAKEJNI_ARRAYS(Int, int, jint, 'I')
FAKEJNI_ARRAYS(Long, long, jlong, 'J')
FAKEJNI_ARRAYS(Float, float, jfloat, 'F')
FAKEJNI_ARRAYS(Double, double, jdouble, 'D')
#undef FAKEJNI_ARRAYS

// ---- The invocation interface ---------------------------------------------------

Vm* vm_of_jvm(JavaVM* jvm) {
  if (!jvm) die("invocation function called with a null JavaVM");
  return reinterpret_cast<JvmHandle*>(jvm)->vm;
}

jint JNICALL DestroyJavaVM(JavaVM*) { unimplemented("DestroyJavaVM"); }

jint attach_current(JavaVM* jvm, void** penv) {
  Vm* vm = vm_of_jvm(jvm);
  std::lock_guard<std::mutex> g(vm->mu);
  ++vm->counters.attach_calls;
  if (vm->attach_fails) {
    if (penv) *penv = nullptr;
    return JNI_ERR;
  }
  Thread* t = this_thread(vm, true);
  attach_thread(t);
  if (penv) *penv = &t->handle.env;
  return JNI_OK;
}

jint JNICALL AttachCurrentThread(JavaVM* jvm, void** penv, void*) {
  return attach_current(jvm, penv);
}

jint JNICALL AttachCurrentThreadAsDaemon(JavaVM* jvm, void** penv, void*) {
  return attach_current(jvm, penv);
}

jint JNICALL DetachCurrentThread(JavaVM* jvm) {
  Vm* vm = vm_of_jvm(jvm);
  std::lock_guard<std::mutex> g(vm->mu);
  ++vm->counters.detach_calls;
  Thread* t = this_thread(vm, false);
  if (t && t->attached) detach_thread(t);
  return JNI_OK;
}

bool known_version(jint v) {
  switch (v) {
    case JNI_VERSION_1_1:
    case JNI_VERSION_1_2:
    case JNI_VERSION_1_4:
    case JNI_VERSION_1_6:
    case JNI_VERSION_1_8:
      return true;
  }
  return v >= 0x00090000 && (v & 0xFFFF) == 0;
}

jint JNICALL GetEnvFn(JavaVM* jvm, void** penv, jint version) {
  Vm* vm = vm_of_jvm(jvm);
  std::lock_guard<std::mutex> g(vm->mu);
  ++vm->counters.get_env_calls;
  vm->counters.last_get_env_version = version;
  Thread* t = this_thread(vm, false);
  if (!t || !t->attached) {
    if (penv) *penv = nullptr;
    return JNI_EDETACHED;
  }
  if (!known_version(version)) {
    if (penv) *penv = nullptr;
    return JNI_EVERSION;
  }
  if (penv) *penv = &t->handle.env;
  return JNI_OK;
}

// ---- Building a VM ----------------------------------------------------------------

void fill_table(JNINativeInterface_* t) {
  std::memset(static_cast<void*>(t), 0, sizeof *t);
  fill_stubs(t);
#define FAKEJNI_SET(name) t->name = name;
  FAKEJNI_SET(GetVersion)
  FAKEJNI_SET(FindClass)
  FAKEJNI_SET(GetSuperclass)
  FAKEJNI_SET(IsAssignableFrom)
  FAKEJNI_SET(Throw)
  FAKEJNI_SET(ThrowNew)
  FAKEJNI_SET(ExceptionOccurred)
  FAKEJNI_SET(ExceptionDescribe)
  FAKEJNI_SET(ExceptionClear)
  FAKEJNI_SET(FatalError)
  FAKEJNI_SET(PushLocalFrame)
  FAKEJNI_SET(PopLocalFrame)
  FAKEJNI_SET(NewGlobalRef)
  FAKEJNI_SET(DeleteGlobalRef)
  FAKEJNI_SET(DeleteLocalRef)
  FAKEJNI_SET(IsSameObject)
  FAKEJNI_SET(NewLocalRef)
  FAKEJNI_SET(EnsureLocalCapacity)
  FAKEJNI_SET(AllocObject)
  FAKEJNI_SET(NewObject)
  FAKEJNI_SET(NewObjectV)
  FAKEJNI_SET(NewObjectA)
  FAKEJNI_SET(GetObjectClass)
  FAKEJNI_SET(IsInstanceOf)
  FAKEJNI_SET(GetMethodID)
#define FAKEJNI_SET_CALLS(T) \
  FAKEJNI_SET(Call##T##Method) FAKEJNI_SET(Call##T##MethodV) FAKEJNI_SET(Call##T##MethodA)
  FAKEJNI_SET_CALLS(Object)
  FAKEJNI_SET_CALLS(Boolean)
  FAKEJNI_SET_CALLS(Byte)
  FAKEJNI_SET_CALLS(Char)
  FAKEJNI_SET_CALLS(Short)
  FAKEJNI_SET_CALLS(Int)
  FAKEJNI_SET_CALLS(Long)
  FAKEJNI_SET_CALLS(Float)
  FAKEJNI_SET_CALLS(Double)
  FAKEJNI_SET_CALLS(Void)
#undef FAKEJNI_SET_CALLS
  FAKEJNI_SET(GetFieldID)
#define FAKEJNI_SET_FIELDS(T) FAKEJNI_SET(Get##T##Field) FAKEJNI_SET(Set##T##Field)
  FAKEJNI_SET_FIELDS(Object)
  FAKEJNI_SET_FIELDS(Boolean)
  FAKEJNI_SET_FIELDS(Byte)
  FAKEJNI_SET_FIELDS(Char)
  FAKEJNI_SET_FIELDS(Short)
  FAKEJNI_SET_FIELDS(Int)
  FAKEJNI_SET_FIELDS(Long)
  FAKEJNI_SET_FIELDS(Float)
  FAKEJNI_SET_FIELDS(Double)
#undef FAKEJNI_SET_FIELDS
  FAKEJNI_SET(NewString)
  FAKEJNI_SET(GetStringLength)
  FAKEJNI_SET(GetStringChars)
  FAKEJNI_SET(ReleaseStringChars)
  FAKEJNI_SET(NewStringUTF)
  FAKEJNI_SET(GetStringUTFLength)
  FAKEJNI_SET(GetStringUTFChars)
  FAKEJNI_SET(ReleaseStringUTFChars)
  FAKEJNI_SET(GetArrayLength)
#define FAKEJNI_SET_ARRAYS(T)                                                   \
  FAKEJNI_SET(New##T##Array) FAKEJNI_SET(Get##T##ArrayElements)                 \
  FAKEJNI_SET(Release##T##ArrayElements) FAKEJNI_SET(Get##T##ArrayRegion)       \
  FAKEJNI_SET(Set##T##ArrayRegion)
  FAKEJNI_SET_ARRAYS(Boolean)
  FAKEJNI_SET_ARRAYS(Byte)
  FAKEJNI_SET_ARRAYS(Char)
  FAKEJNI_SET_ARRAYS(Short)
  FAKEJNI_SET_ARRAYS(Int)
  FAKEJNI_SET_ARRAYS(Long)
  FAKEJNI_SET_ARRAYS(Float)
  FAKEJNI_SET_ARRAYS(Double)
#undef FAKEJNI_SET_ARRAYS
  FAKEJNI_SET(GetJavaVM)
  FAKEJNI_SET(GetStringRegion)
  FAKEJNI_SET(GetStringUTFRegion)
  FAKEJNI_SET(GetPrimitiveArrayCritical)
  FAKEJNI_SET(ReleasePrimitiveArrayCritical)
  FAKEJNI_SET(GetStringCritical)
  FAKEJNI_SET(ReleaseStringCritical)
  FAKEJNI_SET(ExceptionCheck)
  FAKEJNI_SET(GetObjectRefType)
#undef FAKEJNI_SET
}

// The bodies of the built-in constructors.  They run unlocked like any
// Java method; a bad argument reference was already recorded by invoke().
Object* quiet_object(Vm* vm, jobject ref) {
  Ref* r = lookup_ref(vm, ref);
  return r ? r->obj : nullptr;
}

Slot* builtin_slot(Object* o, const char* name) {
  const FieldInfo* f = o ? find_field(o->cls, name, nullptr) : nullptr;
  return f ? &o->fields[f] : nullptr;
}

jvalue throwable_init(JNIEnv* env, jobject self, const jvalue* args) {
  Vm* vm = vm_of(env);
  std::lock_guard<std::mutex> g(vm->mu);
  if (Slot* s = builtin_slot(quiet_object(vm, self), "detailMessage"))
    s->o = quiet_object(vm, args[0].l);
  return jv_void();
}

jvalue pointer_init(JNIEnv* env, jobject self, const jvalue* args) {
  Vm* vm = vm_of(env);
  std::lock_guard<std::mutex> g(vm->mu);
  Object* o = quiet_object(vm, self);
  if (Slot* s = builtin_slot(o, "p")) s->v.j = args[0].j;
  if (Slot* s = builtin_slot(o, "o")) s->o = quiet_object(vm, args[1].l);
  if (Slot* s = builtin_slot(o, "size")) {
    s->v.j = 0;
    s->v.i = args[2].i;
  }
  return jv_void();
}

void define_builtins(Vm* vm) {
  ClassInfo* object = add_class(vm, "java/lang/Object", nullptr);
  vm->object_class = object;
  ClassInfo* cls = add_class(vm, "java/lang/Class", object);
  vm->class_class = cls;
  // The two mirrors that could not be made before java/lang/Class existed.
  for (ClassInfo* c : {object, cls}) {
    c->mirror = make_object(vm, cls);
    c->mirror->represents = c;
  }
  add_method(vm, object, "<init>", "()V", nullptr);
  vm->string_class = add_class(vm, "java/lang/String", object);

  ClassInfo* throwable = add_class(vm, "java/lang/Throwable", object);
  vm->throwable_class = throwable;
  add_field(vm, throwable, "detailMessage", "Ljava/lang/String;");
  vm->detail_message = throwable->fields.back().get();
  const std::pair<const char*, const char*> throwables[] = {
      {"java/lang/Exception", "java/lang/Throwable"},
      {"java/lang/RuntimeException", "java/lang/Exception"},
      {"java/lang/IndexOutOfBoundsException", "java/lang/RuntimeException"},
      {"java/lang/ArrayIndexOutOfBoundsException", "java/lang/IndexOutOfBoundsException"},
      {"java/lang/StringIndexOutOfBoundsException", "java/lang/IndexOutOfBoundsException"},
      {"java/lang/Error", "java/lang/Throwable"},
      {"java/lang/LinkageError", "java/lang/Error"},
      {"java/lang/NoClassDefFoundError", "java/lang/LinkageError"},
      {"java/lang/IncompatibleClassChangeError", "java/lang/LinkageError"},
      {"java/lang/NoSuchFieldError", "java/lang/IncompatibleClassChangeError"},
      {"java/lang/NoSuchMethodError", "java/lang/IncompatibleClassChangeError"},
      {"java/lang/VirtualMachineError", "java/lang/Error"},
      {"java/lang/OutOfMemoryError", "java/lang/VirtualMachineError"},
  };
  add_method(vm, throwable, "<init>", "()V", nullptr);
  add_method(vm, throwable, "<init>", "(Ljava/lang/String;)V", throwable_init);
  for (const auto& t : throwables) {
    ClassInfo* c = add_class(vm, t.first, find_class_info(vm, t.second));
    add_method(vm, c, "<init>", "()V", nullptr);
    add_method(vm, c, "<init>", "(Ljava/lang/String;)V", throwable_init);
  }

  for (char e : std::string("ZBCSIJFD")) {
    ClassInfo* c = add_class(vm, std::string("[") + e, object);
    c->elem = e;
  }

  add_class(vm, "Orvalith/Base/JNI", object);
  ClassInfo* pointer = add_class(vm, "Orvalith/Base/JNI$Pointer", object);
  add_field(vm, pointer, "p", "J");
  add_field(vm, pointer, "o", "Ljava/lang/Object;");
  add_field(vm, pointer, "size", "I");
  add_field(vm, pointer, "freed", "Z");
  add_method(vm, pointer, "<init>", "(JLjava/lang/Object;I)V", pointer_init);
  ClassInfo* nss = add_class(vm, "Orvalith/Base/JNI$CK_C_INITIALIZE_ARGS_NSS", object);
  add_field(vm, nss, "useMutexes", "Z");
  add_field(vm, nss, "flags", "J");
  add_field(vm, nss, "pReserved", "J");
#ifdef _WIN32
  add_field(vm, nss, "LibraryParams", "Ljava/lang/String;");
#else
  add_field(vm, nss, "LibraryParams", "J");
#endif
}

// ---- Helper internals -------------------------------------------------------------

Object* helper_object(Vm* vm, jobject ref, const char* helper) {
  Object* o = helper_resolve(vm, ref, helper);
  if (!o) die(std::string(helper) + ": null object");
  return o;
}

Slot& helper_slot(Vm* vm, jobject obj, const std::string& name, char want, const char* helper) {
  Object* o = helper_object(vm, obj, helper);
  const FieldInfo* f = find_field(o->cls, name, nullptr);
  if (!f) die(std::string(helper) + ": " + o->cls->name + " has no field " + name);
  bool fits = want == 'L' ? is_ref_type(f->sig[0]) : f->sig[0] == want;
  if (!fits) die(std::string(helper) + ": field " + name + " has type " + f->sig);
  Slot& s = o->fields[f];
  return s;
}

Object* helper_array(Vm* vm, jarray a, char want, const char* helper) {
  Object* o = helper_object(vm, a, helper);
  if (!o->is_array || (want && o->elem != want))
    die(std::string(helper) + ": not a " + prim_name(want) + "[] but " + o->cls->name);
  return o;
}

template <typename T>
std::vector<T> elements_of(Vm* vm, jarray a, char want, const char* helper) {
  std::lock_guard<std::mutex> g(vm->mu);
  Object* o = helper_array(vm, a, want, helper);
  std::vector<T> v(static_cast<size_t>(o->length));
  if (!v.empty()) std::memcpy(v.data(), o->data, v.size() * sizeof(T));
  return v;
}

template <typename T>
jarray array_from(JNIEnv* env, char elem, const std::vector<T>& v) {
  EnvHandle* h = handle_of(env);
  std::lock_guard<std::mutex> g(h->vm->mu);
  Object* o = make_array(h->vm, elem, static_cast<jsize>(v.size()));
  if (!v.empty()) std::memcpy(o->data, v.data(), v.size() * sizeof(T));
  return static_cast<jarray>(new_local(h->vm, h->thread, o));
}

}  // namespace

// ---- The public helpers -----------------------------------------------------------

Vm* create_vm() {
  Vm* vm = new Vm();
  fill_table(&vm->table);
  std::memset(static_cast<void*>(&vm->invoke), 0, sizeof vm->invoke);
  vm->invoke.DestroyJavaVM = DestroyJavaVM;
  vm->invoke.AttachCurrentThread = AttachCurrentThread;
  vm->invoke.DetachCurrentThread = DetachCurrentThread;
  vm->invoke.GetEnv = GetEnvFn;
  vm->invoke.AttachCurrentThreadAsDaemon = AttachCurrentThreadAsDaemon;
  vm->jvm_handle.jvm.functions = &vm->invoke;
  vm->jvm_handle.vm = vm;
  std::lock_guard<std::mutex> g(vm->mu);
  define_builtins(vm);
  attach_thread(this_thread(vm, true));
  return vm;
}

void destroy_vm(Vm* vm) { delete vm; }

JavaVM* java_vm(Vm* vm) { return &vm->jvm_handle.jvm; }

JNIEnv* env(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  Thread* t = this_thread(vm, false);
  return (t && t->attached) ? &t->handle.env : nullptr;
}

Vm* vm_of(JNIEnv* env) { return handle_of(env)->vm; }

JNIEnv* attach(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  Thread* t = this_thread(vm, true);
  attach_thread(t);
  return &t->handle.env;
}

void detach(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  Thread* t = this_thread(vm, false);
  if (t && t->attached) detach_thread(t);
}

bool attached(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  Thread* t = this_thread(vm, false);
  return t && t->attached;
}

void set_copy_elements(Vm* vm, bool on) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->copy_elements = on;
}

void set_shared_empty_elements(Vm* vm, bool on) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->shared_empty_elements = on;
}

void set_reported_length(Vm* vm, jarray a, jsize length) {
  std::lock_guard<std::mutex> g(vm->mu);
  helper_array(vm, a, 0, "set_reported_length")->reported_length = length;
}

void set_attach_fails(Vm* vm, bool on) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->attach_fails = on;
}

Counters counters(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  return vm->counters;
}

void define_class(Vm* vm, const std::string& name, const std::string& super_name,
                  const std::vector<FieldSpec>& fields, const std::vector<MethodSpec>& methods) {
  std::lock_guard<std::mutex> g(vm->mu);
  ClassInfo* super = find_class_info(vm, super_name);
  if (!super) die("define_class " + name + ": no superclass " + super_name);
  ClassInfo* c = add_class(vm, name, super);
  for (const FieldSpec& f : fields) add_field(vm, c, f.name, f.sig);
  for (const MethodSpec& m : methods) add_method(vm, c, m.name, m.sig, m.impl);
}

void define_method(Vm* vm, const std::string& class_name, const std::string& name,
                   const std::string& sig, MethodImpl impl) {
  std::lock_guard<std::mutex> g(vm->mu);
  ClassInfo* c = find_class_info(vm, class_name);
  if (!c) die("define_method: no class " + class_name);
  add_method(vm, c, name, sig, std::move(impl));
}

jobject new_object(JNIEnv* env, const std::string& class_name) {
  EnvHandle* h = handle_of(env);
  std::lock_guard<std::mutex> g(h->vm->mu);
  ClassInfo* c = find_class_info(h->vm, class_name);
  if (!c) die("new_object: no class " + class_name);
  return new_local(h->vm, h->thread, make_object(h->vm, c));
}

std::string class_name(Vm* vm, jobject obj) {
  std::lock_guard<std::mutex> g(vm->mu);
  Object* o = helper_resolve(vm, obj, "class_name");
  return o ? o->cls->name : std::string();
}

std::string name_of_class(Vm* vm, jclass cls) {
  std::lock_guard<std::mutex> g(vm->mu);
  Object* o = helper_object(vm, cls, "name_of_class");
  if (!o->represents) die("name_of_class: not a class object");
  return o->represents->name;
}

const void* identity(Vm* vm, jobject obj) {
  std::lock_guard<std::mutex> g(vm->mu);
  return helper_resolve(vm, obj, "identity");
}

jlong long_field(Vm* vm, jobject obj, const std::string& name) {
  std::lock_guard<std::mutex> g(vm->mu);
  return helper_slot(vm, obj, name, 'J', "long_field").v.j;
}

jint int_field(Vm* vm, jobject obj, const std::string& name) {
  std::lock_guard<std::mutex> g(vm->mu);
  return helper_slot(vm, obj, name, 'I', "int_field").v.i;
}

jboolean bool_field(Vm* vm, jobject obj, const std::string& name) {
  std::lock_guard<std::mutex> g(vm->mu);
  return helper_slot(vm, obj, name, 'Z', "bool_field").v.z;
}

jdouble double_field(Vm* vm, jobject obj, const std::string& name) {
  std::lock_guard<std::mutex> g(vm->mu);
  return helper_slot(vm, obj, name, 'D', "double_field").v.d;
}

jobject object_field(JNIEnv* env, jobject obj, const std::string& name) {
  EnvHandle* h = handle_of(env);
  std::lock_guard<std::mutex> g(h->vm->mu);
  return new_local(h->vm, h->thread, helper_slot(h->vm, obj, name, 'L', "object_field").o);
}

void set_long_field(Vm* vm, jobject obj, const std::string& name, jlong value) {
  std::lock_guard<std::mutex> g(vm->mu);
  Slot& s = helper_slot(vm, obj, name, 'J', "set_long_field");
  s.v.j = value;
}

void set_int_field(Vm* vm, jobject obj, const std::string& name, jint value) {
  std::lock_guard<std::mutex> g(vm->mu);
  Slot& s = helper_slot(vm, obj, name, 'I', "set_int_field");
  s.v.j = 0;
  s.v.i = value;
}

void set_bool_field(Vm* vm, jobject obj, const std::string& name, jboolean value) {
  std::lock_guard<std::mutex> g(vm->mu);
  Slot& s = helper_slot(vm, obj, name, 'Z', "set_bool_field");
  s.v.j = 0;
  s.v.z = value;
}

void set_double_field(Vm* vm, jobject obj, const std::string& name, jdouble value) {
  std::lock_guard<std::mutex> g(vm->mu);
  Slot& s = helper_slot(vm, obj, name, 'D', "set_double_field");
  s.v.d = value;
}

void set_object_field(Vm* vm, jobject obj, const std::string& name, jobject value) {
  std::lock_guard<std::mutex> g(vm->mu);
  Object* v = helper_resolve(vm, value, "set_object_field");
  helper_slot(vm, obj, name, 'L', "set_object_field").o = v;
}

std::string to_modified_utf8(const std::u16string& s) {
  std::string out;
  for (char16_t u : s) {
    uint32_t c = u;
    if (c != 0 && c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {  // U+0000 lands here too: C0 80
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string from_modified_utf8(const std::string& bytes) {
  std::u16string out;
  const size_t n = bytes.size();
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  auto cont = [&](size_t i) { return i < n && (b(i) & 0xC0) == 0x80; };
  size_t i = 0;
  while (i < n) {
    uint32_t b0 = b(i);
    if (b0 < 0x80) {
      out += static_cast<char16_t>(b0);
      i += 1;
    } else if ((b0 & 0xE0) == 0xC0 && cont(i + 1)) {
      out += static_cast<char16_t>(((b0 & 0x1F) << 6) | (b(i + 1) & 0x3F));
      i += 2;
    } else if ((b0 & 0xF0) == 0xE0 && cont(i + 1) && cont(i + 2)) {
      out += static_cast<char16_t>(((b0 & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) |
                                   (b(i + 2) & 0x3F));
      i += 3;
    } else if ((b0 & 0xF8) == 0xF0 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      uint32_t cp = ((b0 & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
                    (b(i + 3) & 0x3F);
      if (cp >= 0x10000 && cp <= 0x10FFFF) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        i += 4;
      } else {
        out += static_cast<char16_t>(b0);
        i += 1;
      }
    } else {
      out += static_cast<char16_t>(b0);
      i += 1;
    }
  }
  return out;
}

jstring new_string(JNIEnv* env, const std::u16string& s) {
  EnvHandle* h = handle_of(env);
  std::lock_guard<std::mutex> g(h->vm->mu);
  return static_cast<jstring>(new_local(h->vm, h->thread, make_string(h->vm, s)));
}

std::u16string string_chars(Vm* vm, jstring s) {
  std::lock_guard<std::mutex> g(vm->mu);
  Object* o = helper_object(vm, s, "string_chars");
  if (!o->is_string) die("string_chars: not a string but " + o->cls->name);
  return o->str;
}

std::string string_utf8(Vm* vm, jstring s) { return utf8_of(string_chars(vm, s)); }

jintArray new_int_array(JNIEnv* env, const std::vector<jint>& v) {
  return static_cast<jintArray>(array_from(env, 'I', v));
}
jlongArray new_long_array(JNIEnv* env, const std::vector<jlong>& v) {
  return static_cast<jlongArray>(array_from(env, 'J', v));
}
jbyteArray new_byte_array(JNIEnv* env, const std::vector<jbyte>& v) {
  return static_cast<jbyteArray>(array_from(env, 'B', v));
}
jbooleanArray new_boolean_array(JNIEnv* env, const std::vector<jboolean>& v) {
  return static_cast<jbooleanArray>(array_from(env, 'Z', v));
}

std::vector<jint> int_elements(Vm* vm, jintArray a) {
  return elements_of<jint>(vm, a, 'I', "int_elements");
}
std::vector<jlong> long_elements(Vm* vm, jlongArray a) {
  return elements_of<jlong>(vm, a, 'J', "long_elements");
}
std::vector<jbyte> byte_elements(Vm* vm, jbyteArray a) {
  return elements_of<jbyte>(vm, a, 'B', "byte_elements");
}
std::vector<jboolean> boolean_elements(Vm* vm, jbooleanArray a) {
  return elements_of<jboolean>(vm, a, 'Z', "boolean_elements");
}

void* array_storage(Vm* vm, jarray a) {
  std::lock_guard<std::mutex> g(vm->mu);
  return helper_array(vm, a, 0, "array_storage")->data;
}

ArrayStats array_stats(Vm* vm, jarray a) {
  std::lock_guard<std::mutex> g(vm->mu);
  Object* o = helper_array(vm, a, 0, "array_stats");
  ArrayStats s;
  s.gets = o->gets;
  s.release_modes = o->release_modes;
  s.outstanding = static_cast<int>(o->buffers.size());
  for (const Buffer& b : o->buffers) s.buffers.push_back(b.ptr);
  return s;
}

size_t outstanding_buffers(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  size_t n = 0;
  for (const auto& o : vm->objects) n += o->buffers.size();
  return n;
}

PendingException pending_exception(JNIEnv* env) {
  EnvHandle* h = handle_of(env);
  std::lock_guard<std::mutex> g(h->vm->mu);
  PendingException p;
  Object* e = h->thread->pending;
  if (!e) return p;
  p.present = true;
  p.class_name = e->cls->name;
  auto it = e->fields.find(h->vm->detail_message);
  if (it != e->fields.end() && it->second.o && it->second.o->is_string) {
    p.has_message = true;
    p.message = utf8_of(it->second.o->str);
  }
  return p;
}

void clear_exception(JNIEnv* env) {
  EnvHandle* h = handle_of(env);
  std::lock_guard<std::mutex> g(h->vm->mu);
  h->thread->pending = nullptr;
}

std::vector<std::string> described(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  return vm->described;
}

size_t local_refs(JNIEnv* env) {
  EnvHandle* h = handle_of(env);
  std::lock_guard<std::mutex> g(h->vm->mu);
  return h->thread->live_locals;
}

size_t local_refs_high_water(JNIEnv* env) {
  EnvHandle* h = handle_of(env);
  std::lock_guard<std::mutex> g(h->vm->mu);
  return h->thread->high_water;
}

size_t global_refs(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  return vm->globals;
}

std::vector<std::string> violations(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  return vm->violations;
}

void clear_violations(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->violations.clear();
}

void fail_find_class(Vm* vm, const std::string& class_name) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->faults.find_class.insert(class_name);
}

void fail_get_method(Vm* vm, const std::string& class_name, const std::string& name,
                     const std::string& sig) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->faults.method.insert(std::make_tuple(class_name, name, sig));
}

void fail_get_method_named(Vm* vm, const std::string& name) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->faults.method_named.insert(name);
}

void fail_get_field(Vm* vm, const std::string& class_name, const std::string& name) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->faults.field.insert(std::make_pair(class_name, name));
}

void fail_allocation(Vm* vm, unsigned kinds, int nth) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->faults.alloc_kinds = kinds;
  vm->faults.alloc_remaining = nth < 0 ? -1 : nth;
}

void reset_faults(Vm* vm) {
  std::lock_guard<std::mutex> g(vm->mu);
  vm->faults = Faults();
}

}  // namespace fakejni
