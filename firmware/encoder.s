# Channel 4's encoder on PRU core 0: counts the quadrature edges (x4) of the A and B
# signals on two of the core's direct inputs (R31) into the count word of the PRU shared
# RAM, where hx_fwquad reads it through /dev/mem.
#
# The count word is cleared once at start (the module's handshake: it wrote a marker
# there and waits for the 0). From then on, each change of the inputs reads the word,
# adds or subtracts one and writes it back: a value the host stored is where counting
# goes on from, and the 32-bit sum wraps. A sample in which both inputs changed at once
# skipped a state and is not a move; such misses are counted in word 0 of this core's
# own data RAM. Nothing else in the shared RAM is written.
#
# A leading B counts up. The pins are chosen at build time (PIN_A, PIN_B: R31 bits 0-16;
# see the README's board section for the pin mux).
#
# Cycles (one a plain instruction; LBBO/SBBO of a word taken as 3, unverified on a
# board): the idle loop samples every 2 cycles; a counted edge takes 15 cycles from the
# sample that saw it to the next sample.

        .ifndef PIN_A
        .set    PIN_A, 14
        .endif
        .ifndef PIN_B
        .set    PIN_B, 15
        .endif
        .if PIN_A > 16 || PIN_B > 16 || PIN_A == PIN_B
        .error "PIN_A and PIN_B must be two different R31 input bits, 0 to 16"
        .endif

        .set    COUNT_WORD, 0x00010040  # shared RAM (host 0x4A310000) + 64
        .set    MASK, (1 << PIN_A) | (1 << PIN_B)

        .text
        .global _start
_start:
        ldi32   r1, COUNT_WORD
        ldi32   r4, MASK
        ldi     r6, 0
        sbbo    &r6, r1, 0, 4           # the handshake: the word starts at 0
        ldi     r7, 0                   # missed states
        ldi     r8, 0                   # this core's data RAM
        sbbo    &r7, r8, 0, 4
        and     r2, r31, r4             # the first sample is where counting starts

idle:   and     r3, r31, r4
        qbeq    idle, r3, r2
        xor     r5, r3, r2
        qbeq    missed, r5, r4          # both inputs changed: no move to count
        lbbo    &r6, r1, 0, 4           # the word as it is now, with any host store
        # One input changed: up when the old A equals the new B (A leading B, AB goes
        # 00 10 11 01), down otherwise. Every path is the same length.
        qbbs    a_was_high, r2, PIN_A
        qbbs    down, r3, PIN_B
up:     add     r6, r6, 1
        sbbo    &r6, r1, 0, 4
        mov     r2, r3
        jmp     idle
a_was_high:
        qbbs    up, r3, PIN_B
down:   sub     r6, r6, 1
        sbbo    &r6, r1, 0, 4
        mov     r2, r3
        jmp     idle

missed: add     r7, r7, 1
        sbbo    &r7, r8, 0, 4
        mov     r2, r3
        jmp     idle

# An empty resource table: the vendor 4.x loader refuses an image without one.
        .section .resource_table, "a"
        .p2align 2
        .word   1, 0, 0, 0              # version 1, no entries, reserved
