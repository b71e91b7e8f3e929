# Every instruction the PRU core model runs, as binutils encodes it: each check leaves
# a value in r10 and "result" stores it in the next word of data RAM from 0x100. The
# values expected (TI's PRU instruction guide) are listed in pru_core_test.cpp in the
# same order. The wheel is set so that R31 reads 0xc000 (A and B high on inputs 14, 15).

        .macro  result
        sbbo    &r10, r20, 0, 4
        add     r20, r20, 4
        .endm

        # Records in r10's bit \bit whether \cond \a, \b branched.
        .macro  branches cond, a, b, bit
        \cond   1f, \a, \b
        qba     2f
1:      set     r10, r10, \bit
2:
        .endm

        .text
        .global _start
_start:
        ldi     r20, 0x100
        ldi     r0, 0

        # LDI into fields: .w2 is bits 31..16, .b1 15..8, .w1 23..8.
        ldi32   r10, 0x89abcdef
        result                          # 1
        ldi     r10.w2, 0x1111
        result                          # 2
        ldi     r10.b1, 0x22
        result                          # 3
        ldi     r10.w1, 0x3344
        result                          # 4

        # Carry: the bit above the destination field. (The result macro's ADD sets it
        # too: what uses a carry comes right after what made it.)
        ldi     r1, 0xff
        add     r10.b0, r1.b0, 1
        adc     r11, r0, 0
        result                          # 5
        mov     r10, r11
        result                          # 6
        ldi32   r1, 0xffffffff
        add     r10, r1, r1
        adc     r11, r0, 5
        result                          # 7
        mov     r10, r11
        result                          # 8
        ldi     r2, 5
        sub     r10, r2, 7
        suc     r11, r2, 1
        result                          # 9
        mov     r10, r11
        result                          # 10
        rsb     r10, r2, 20
        result                          # 11
        rsc     r10, r2, 20
        result                          # 12
        rsb     r10, r2, 2
        rsc     r10, r2, 20
        result                          # 13

        # Shifts take the count modulo 32.
        ldi     r3, 33
        lsl     r10, r2, r3
        result                          # 14
        ldi32   r4, 0x80000000
        lsr     r10, r4, 31
        result                          # 15
        lsl     r10.w0, r4.w2, 4
        result                          # 16

        ldi32   r5, 0xf0f0f0f0
        and     r10, r5, 0x3c
        result                          # 17
        or      r10, r5, 0x0f
        result                          # 18
        xor     r10, r5, r5.w1
        result                          # 19
        not     r10, r5
        result                          # 20
        not     r10.b3, r0.b0
        result                          # 21
        min     r10, r2, 3
        result                          # 22
        max     r10, r2, 200
        result                          # 23
        clr     r10, r5, 4
        result                          # 24
        set     r10, r5, r3
        result                          # 25
        ldi     r10, 0
        mov     r10.w1, r4.w2
        result                          # 26

        lmbd    r10, r5, 1
        result                          # 27
        lmbd    r10, r5, 0
        result                          # 28
        lmbd    r10, r0, 1
        result                          # 29

        # Quick branches compare the operand with the register: r2 is 5.
        ldi     r10, 0
        branches qbgt, r2, 6, 0
        branches qbgt, r2, 5, 1
        branches qbge, r2, 5, 2
        branches qbge, r2, 4, 3
        branches qblt, r2, 4, 4
        branches qblt, r2, 5, 5
        branches qble, r2, 5, 6
        branches qble, r2, 6, 7
        branches qbeq, r2, 5, 8
        branches qbeq, r2, 6, 9
        branches qbne, r2, 6, 10
        branches qbne, r2, 5, 11
        branches qbbs, r2, 2, 12
        branches qbbs, r2, 1, 13
        branches qbbc, r2, 1, 14
        branches qbbc, r2, 0, 15
        branches qbgt, r2, r3, 16
        qba     3f
        qba     4f
3:      set     r10, r10, 17
4:      result                          # 30

        # A backward branch.
        ldi     r10, 0
        ldi     r6, 10
5:      add     r10, r10, 3
        sub     r6, r6, 1
        qbne    5b, r6, 0
        result                          # 31

        # CALL (JAL into r3.w2) and RET (JMP to r3.w2); JMP to a register.
        ldi     r10, 0
        call    subroutine
back:   result                          # 32
        ldi     r12, %pmem(back)
        sub     r10, r11, r12
        result                          # 33
        ldi     r12, %pmem(over)
        jmp     r12
        ldi     r10, 0xbad
over:   result                          # 34

        # Bursts between the register file and memory, from any byte of a register.
        ldi32   r13, 0x44332211
        ldi32   r14, 0x88776655
        ldi     r21, 0x200
        sbbo    &r13, r21, 0, 8
        ldi     r10, 0
        lbbo    &r10.b1, r21, 1, 2
        result                          # 35
        ldi     r0, 3
        lbbo    &r10, r21, 5, r0.b0
        result                          # 36
        ldi     r22, 4
        lbbo    &r10, r21, r22, 4
        result                          # 37
        lbbo    &r15, r21, 0, 8
        sub     r10, r16, r14
        result                          # 38

        # C24 is this core's data RAM, C25 the other core's (at 0x2000 here).
        sbco    &r14, 25, 0x20, 4
        ldi     r23, 0x2020
        lbbo    &r10, r23, 0, 4
        result                          # 39
        sbco    &r13, 24, 0x40, 4
        ldi     r24, 0x40
        lbbo    &r10, r24, 0, 4
        result                          # 40
        lbco    &r10, 24, 0x40, 4
        result                          # 41

        # The shared RAM at 0x10000.
        ldi32   r25, 0x10100
        sbbo    &r13, r25, 0, 4
        lbbo    &r10, r25, 0, 4
        result                          # 42

        # R31 reads the inputs; a write to it keeps nothing. R30 is a register.
        mov     r10, r31
        result                          # 43
        mov     r10, r31.w1
        result                          # 44
        ldi     r31, 0x1234
        mov     r10, r31
        result                          # 45
        ldi     r30, 0x55
        mov     r10, r30
        result                          # 46

        # This core's CTRL (PRU0's, 0x22000) and cycle counter (CYCLE, +0x0c).
        ldi32   r26, 0x22000
        lbbo    &r27, r26, 0, 4
        mov     r10, r27
        result                          # 47
        set     r27, r27, 3
        sbbo    &r27, r26, 0, 4
        lbbo    &r11, r26, 0x0c, 4
        lbbo    &r12, r26, 0x0c, 4
        sub     r10, r12, r11
        result                          # 48
        ldi     r13, 7
        sbbo    &r13, r26, 0x0c, 4
        lbbo    &r12, r26, 0x0c, 4
        sub     r10, r12, r11
        result                          # 49
        clr     r27, r27, 3
        sbbo    &r27, r26, 0, 4
        ldi     r13, 1000
        sbbo    &r13, r26, 0x0c, 4
        lbbo    &r10, r26, 0x0c, 4
        result                          # 50
        lbbo    &r10, r26, 0x0c, 4
        result                          # 51
        ldi32   r13, 0xfffffffe
        sbbo    &r13, r26, 0x0c, 4
        set     r27, r27, 3
        sbbo    &r27, r26, 0, 4
        ldi     r13, 0
        ldi     r13, 0
        lbbo    &r10, r26, 0x0c, 4
        result                          # 52
        halt

subroutine:
        mov     r11, r3.w2
        ldi     r10, 0x77
        ret

        .section .resource_table, "a"
        .p2align 2
        .word   1, 0, 0, 0
