#!/usr/bin/env bash
# Exits 0 when this machine runs 32-bit x86 code: a tiny static i386 program (no library, one
# system call) must run and exit with its code. Some kernels, or the hypervisor below them, run no
# 32-bit code at all; there Wine's 32-bit side cannot run either. Needs as and ld (binutils).
set -u
probe=$(mktemp -d) || exit 1
trap 'rm -rf "$probe"' EXIT
printf '.globl _start\n_start:\n movl $1,%%eax\n movl $42,%%ebx\n int $0x80\n' >"$probe/p.s"
as --32 -o "$probe/p.o" "$probe/p.s" 2>/dev/null && ld -m elf_i386 -o "$probe/p" "$probe/p.o" 2>/dev/null || exit 1
"$probe/p" 2>/dev/null
[ $? -eq 42 ]
