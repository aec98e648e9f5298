#!/bin/sh
# Reads a built deliverable and fails when a hardening property is missing.
#
#   check_hardening.sh elf READELF BINARY [x86_64 OBJDUMP]
#   check_hardening.sh pe OBJDUMP BINARY
#
# elf: a shared object (no text relocations: position-independent code),
#      GNU_RELRO and BIND_NOW (-z relro -z now), a GNU_STACK that is not
#      executable, the stack protector and fortified C library calls
#      imported, no PLT or GOT slot of its own exported functions
#      (-Bsymbolic-functions), and with "x86_64" an endbr64 landing pad at
#      every exported function (-fcf-protection).
# pe:  DllCharacteristics DYNAMIC_BASE, NX_COMPAT and NO_SEH, a relocation
#      section, the stack protector linked in, and no DLL of the toolchain's
#      runtime imported.
set -u
kind=$1 tool=$2 binary=$3 arch=${4:-} objdump=${5:-objdump}
status=0
fail() { echo "hardening: $binary: $*" >&2; status=1; }
[ -f "$binary" ] || { echo "hardening: no such file $binary" >&2; exit 1; }

check_elf() {
    header=$("$tool" -hW "$binary") || exit 1
    segments=$("$tool" -lW "$binary") || exit 1
    dynamic=$("$tool" -dW "$binary") || exit 1
    syms=$("$tool" --dyn-syms -W "$binary") || exit 1
    relocs=$("$tool" -rW "$binary") || exit 1

    echo "$header" | grep -Eq 'Type:[[:space:]]+DYN' || fail "not a shared object"
    echo "$dynamic" | grep -q '(TEXTREL)' && fail "text relocations: not position-independent"
    echo "$dynamic" | grep -Eq 'FLAGS.*TEXTREL' && fail "TEXTREL flag: not position-independent"
    echo "$segments" | grep -q 'GNU_RELRO' || fail "no GNU_RELRO segment (-z relro)"
    echo "$dynamic" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW|\(BIND_NOW\)' ||
        fail "not bound at load (-z now)"
    stack=$(echo "$segments" | grep 'GNU_STACK')
    if [ -z "$stack" ]; then
        fail "no GNU_STACK segment: the loader makes the stack executable"
    else
        # The flags column is the one before the alignment: RW, or RWE.
        flags=$(echo "$stack" | awk '{ print $(NF-1) }')
        case $flags in *E*) fail "executable stack (GNU_STACK $flags)" ;; esac
    fi
    # Symbols of the dynamic table: imported (UND) and defined functions.
    imported=$(echo "$syms" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
    echo "$imported" | grep -qx '__stack_chk_fail' || fail "no stack protector (__stack_chk_fail not imported)"
    echo "$imported" | grep -v '^__stack_chk_fail$' | grep -Eq '^__[a-z0-9_]+_chk$' ||
        fail "no fortified C library call imported (-D_FORTIFY_SOURCE)"
    defined=$(echo "$syms" | awk '$4 == "FUNC" && $7 != "UND" { sub(/@.*/, "", $8); print $8 }' | sort -u)
    # Slots that the loader fills from the global scope: PLT and GOT
    # relocations (symbol in the fifth column), and on MIPS the global part
    # of the GOT (symbol last, its section index before it).  A slot naming
    # one of the library's own functions is a call that another object of
    # the same name can take over.
    slotted=$( (echo "$relocs" | awk '$3 ~ /JUMP_SLOT|GLOB_DAT/ { sub(/@.*/, "", $5); print $5 }'
                "$tool" -AW "$binary" 2>/dev/null |
                    awk '/Global entries:/ { g = 1; next } g && NF == 0 { g = 0 }
                         g && $(NF-2) == "FUNC" && $(NF-1) != "UND" { print $NF }') | sort -u)
    own=""
    for name in $slotted; do
        if printf '%s\n' "$defined" | grep -Fxq -- "$name"; then
            own="$own $name"
        fi
    done
    [ -z "$own" ] || fail "own exported functions called through slots the loader fills:$own"
    if [ "$arch" = x86_64 ]; then
        # -fcf-protection marks every object file IBT and SHSTK, but the
        # linker keeps the marks only when every input has them, and the C
        # library's crti.o and crtn.o of Debian 12 have none; so what is
        # checked is the code itself: every exported function starts with
        # the indirect-branch landing pad.
        unmarked=$("$objdump" -d --no-show-raw-insn "$binary" |
            awk '/^[0-9a-f]+ <[^>]+>:$/ { name = $2; gsub(/[<>:]/, "", name); want = 1; next }
                 want && NF > 1 { if ($2 != "endbr64") print name; want = 0 }' | sort -u)
        bad=""
        for name in $defined; do
            if printf '%s\n' "$unmarked" | grep -Fxq -- "$name"; then bad="$bad $name"; fi
        done
        [ -z "$bad" ] || fail "exported functions without an endbr64 landing pad (-fcf-protection):$bad"
    fi
}

check_pe() {
    headers=$("$tool" -p "$binary") || exit 1
    sections=$("$tool" -h "$binary") || exit 1
    table=$("$tool" -t "$binary") || exit 1
    for flag in DYNAMIC_BASE NX_COMPAT NO_SEH; do
        echo "$headers" | grep -Eq "^[[:space:]]+IMAGE_DLLCHARACTERISTICS_$flag\$|[[:space:]]$flag\$" ||
            fail "DllCharacteristics lacks $flag"
    done
    echo "$sections" | grep -q '\.reloc' || fail "no .reloc section: the image cannot be moved"
    echo "$table" | grep -q '___stack_chk_fail' || fail "no stack protector linked in"
    dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
    for dll in $dlls; do
        case $(echo "$dll" | tr 'A-Z' 'a-z') in
            libssp*|libgcc*|libstdc++*|libwinpthread*)
                fail "imports the toolchain's $dll: the runtime is not linked statically" ;;
        esac
    done
}

case $kind in
    elf) check_elf ;;
    pe) check_pe ;;
    *) echo "hardening: unknown kind $kind" >&2; exit 2 ;;
esac
[ $status -eq 0 ] && echo "hardening: $binary: every property present"
exit $status
