# The hardening every deliverable is built with, and the options that turn
# it off for the instrumented test trees (sanitizers and fuzzing bring
# checks of their own, and _FORTIFY_SOURCE gets in AddressSanitizer's way).
#
#  ELF (Linux MIPS32, the 64-bit tree built here):
#    -fstack-protector-strong, -D_FORTIFY_SOURCE=2 when optimising, PIC,
#    -z relro -z now (the whole GOT read-only after load), -z noexecstack
#    (MIPS toolchains otherwise mark the stack executable), -fcf-protection
#    on x86_64; and the library binds its own exported functions to
#    themselves (-Bsymbolic-functions), so that a same-named function
#    elsewhere in the process does not take over the bridge's own calls.
#  macOS: the same compile flags; its linker has no -z options (two-level
#    namespaces already bind the library's calls to itself).
#  Windows x86 (mingw-w64): --dynamicbase (ASLR: relocatable image that the
#    loader may move), --nxcompat (DEP), the stack protector with libssp
#    linked statically (the toolchain links everything statically), and
#    --no-seh in place of /SAFESEH: GNU ld cannot write a table of safe
#    exception handlers, but the bridge has no structured exception handler
#    of its own (it is built without C++ exceptions and its unwinding is
#    DWARF-based), so it declares that it has none, and the system then
#    dispatches no exception to a handler address inside this image, which
#    is what a safe-handler table protects against.
include(CheckCXXCompilerFlag)

set(ORVJNI_HARDENED ON)
if(ORVJNI_SANITIZE OR ORVJNI_TSAN OR ORVJNI_FUZZ)
  set(ORVJNI_HARDENED OFF)
endif()

# Flags that only exist on some processors or compilers.
function(orvjni_add_compile_flag_if_supported flag var)
  check_cxx_compiler_flag(${flag} ${var})
  if(${var})
    add_compile_options(${flag})
  endif()
endfunction()

if(ORVJNI_HARDENED)
  add_compile_options(-fstack-protector-strong)
  # Whatever the compiler predefines is replaced, so no redefinition warning
  # becomes an error; without optimisation the C library ignores it and warns.
  add_compile_options(
    "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND NOT WIN32)
    orvjni_add_compile_flag_if_supported(-fcf-protection ORVJNI_HAS_CF_PROTECTION)
  endif()
  if(WIN32)
    add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-seh)
  elseif(NOT APPLE)
    add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
  endif()
endif()

# The library's own link step: its calls to the functions it exports stay
# inside it (ELF only: PE and Mach-O bind them at link time already).
# Applied to sanitizer trees too, so that the suites test the binding the
# deliverable has.
function(orvjni_bind_own_calls target)
  if(NOT WIN32 AND NOT APPLE)
    target_link_options(${target} PRIVATE -Wl,-Bsymbolic-functions)
  endif()
endfunction()
