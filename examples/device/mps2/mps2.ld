/* SPDX-License-Identifier: MIT */
/*
 * Memory of the MPS2 boards as qemu emulates them: 4 MiB at 0 where the
 * code and constant data go (the "flash"), 4 MiB of RAM at 0x20000000.
 * qemu loads every section where it is linked, so .data needs no copy.
 */
MEMORY
{
    FLASH (rx) : ORIGIN = 0x00000000, LENGTH = 4M
    RAM (rwx)  : ORIGIN = 0x20000000, LENGTH = 4M
}

ENTRY(_start)

SECTIONS
{
    .text : {
        KEEP(*(.vectors))
        *(.text*)
        *(.rodata*)
        KEEP(*(.init))
        KEEP(*(.fini))
        . = ALIGN(4);
        __preinit_array_start = .;
        KEEP(*(.preinit_array))
        __preinit_array_end = .;
        __init_array_start = .;
        KEEP(*(SORT(.init_array.*)))
        KEEP(*(.init_array))
        __init_array_end = .;
        __fini_array_start = .;
        KEEP(*(.fini_array))
        __fini_array_end = .;
    } > FLASH
    .ARM.exidx : {
        __exidx_start = .;
        *(.ARM.exidx*)
        __exidx_end = .;
    } > FLASH
    .data : { *(.data*) } > RAM
    .bss (NOLOAD) : {
        __bss_start__ = .;
        *(.bss*)
        *(COMMON)
        . = ALIGN(8);
        __bss_end__ = .;
    } > RAM
    end = .;
    __end__ = .;
    __stack_top = ORIGIN(RAM) + LENGTH(RAM);
}
