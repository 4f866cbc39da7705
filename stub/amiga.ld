/*
 * Link map of the AmigaOS image. Code (with the constant data), initialised
 * data and BSS sit at three distinct bases so that the address in every
 * relocated longword tells which hunk it refers to; the converter to the
 * hunk format subtracts the base again. The entry is byte 0 of the code.
 */
ENTRY(_start)
SECTIONS
{
    . = 0;
    .text : {
        KEEP(*(.text.entry))
        *(.text .text.*)
        __code_end = .;     /* instructions end here; constants follow */
        *(.rodata .rodata.*)
    }
    . = 0x40000000;
    .data : {
        *(.data .data.*)
    }
    . = 0x80000000;
    .bss : {
        *(.bss .bss.*)
        *(COMMON)
    }
    /DISCARD/ : {
        *(.comment) *(.note .note.*) *(.eh_frame*) *(.debug*) *(.gnu.attributes)
    }
}
