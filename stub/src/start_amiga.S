| Entry of the AmigaOS image: byte 0 of the code hunk. The Shell passes the
| argument line in a0/d0, which the extractor does not use; the return code
| goes back in d0.
    .section .text.entry,"ax"
    .globl _start
_start:
    bra.w   amiga_start

    .section .note.GNU-stack,"",@progbits
