/* Code (with read-only data) at 0, data and BSS at distinct bases, so
   every absolute address names its hunk. The program's first function is
   placed in .text.start and so at byte 0, where the loader starts it
   (link with -e 0). */
SECTIONS {
  .text 0x00000000 : { *(.text.start) *(.text .text.*) *(.rodata .rodata.*) }
  .data 0x40000000 : { *(.data .data.*) }
  .bss 0x80000000 : { *(.bss .bss.*) *(COMMON) }
  /DISCARD/ : { *(.comment) *(.note*) *(.eh_frame*) }
}
