| Entry of the Linux test build: hands the initial stack (argc, argv...) to
| linux_main and exits with its result.
    .text
    .globl _start
_start:
    move.l  %sp,-(%sp)
    jsr     linux_main
    move.l  %d0,%d1
    moveq   #1,%d0
    trap    #0

    .section .note.GNU-stack,"",@progbits
