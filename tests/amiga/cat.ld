/* Code (with read-only data) at 0, data and BSS at distinct bases, so
   every absolute address names its hunk; the entry comes first. */
ENTRY(cat_main)
SECTIONS {
  .text 0x00000000 : { *(.text.start) *(.text .text.*) *(.rodata .rodata.*) }
  .data 0x40000000 : { *(.data .data.*) }
  .bss 0x80000000 : { *(.bss .bss.*) *(COMMON) }
  /DISCARD/ : { *(.comment) *(.note*) *(.eh_frame*) }
}
