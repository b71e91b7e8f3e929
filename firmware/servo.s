# The servo header on PRU core 1: eight one-shot pulse channels on R30 bits 4-11
# (servo 1 bit 8, 2 bit 10, 3 bit 9, 4 bit 11, 5 bit 6, 6 bit 7, 7 bit 4, 8 bit 5, as
# the board wires them). Each request from the host gives exactly one high pulse of
# its width on every channel it names; nothing is sent without a request, so the
# pulses stop within one pulse of the program's last call, however it ends.
#
# The protocol, in this core's own data RAM (the host's 0x4A302000), 32-bit words:
#   0x00 ready    the host writes 42 before the start; the firmware writes 0 once it
#                 runs (the handshake)
#   0x04 stop     the host writes 1; the firmware drives every output low at once,
#                 answers 2 and halts (R30 keeps its value when a core halts)
#   0x08 taken    how many requests the firmware has taken (written every tick)
#   0x0c tick     the cycles a tick takes, measured at the start: 200 (1 us) when the
#                 firmware could make it so
#   0x40 ring     16 slots of 32 bytes: word 0 the request's number (1, 2, ...), then
#                 eight 16-bit widths in microseconds, channel 1 first, 0 for a channel
#                 the request does not name. Request n goes in slot (n - 1) % 16, its
#                 widths first, its number last.
# The firmware takes request taken + 1 when its slot holds that number and none of the
# channels it names is high, or in the one low tick that follows every pulse: a request
# for a channel still high waits in the ring until the pulse is over (never merged with
# it, never overlapping it). The host writes no request while 16 are untaken.
# Nothing else is written: not the shared RAM, not the other core's RAM; besides the
# words above only R30 and, at the start, this core's cycle counter (its CTRL and CYCLE
# registers) for the calibration.
#
# Timing: the loop below is one tick, of the same length on every path (each part that
# a tick may skip has a delay exactly as long in its place; only the stop's branch
# leaves it), and every R30 write comes at the same point of it. A pulse of N us is high for exactly N ticks, and a tick is exactly 200 cycles:
# at the start the firmware times one tick on the core's cycle counter and pads it to
# 200, so a data RAM slower than the model's (unknown on a board) changes nothing as
# long as its latency is constant. All the channels a request names rise in the same
# write.

        .set    CTRL, 0x24000           # PRU1's control registers, as it sees them
        .set    CYCLE, 0x0c
        .set    COUNTING, 3             # CTRL's counter enable
        .set    RING, 0x40
        .set    SLOTS, 16
        .set    TICK, 200
        .set    P0, 60                  # the pad the calibration times the loop with
        .set    PMIN, 2                 # the shortest pad the delay can give
        # The request's part is 41 cycles from its first branch on every path (counted in
        # tick_body); each delay in it takes its pad + 2.
        .set    NO_REQUEST_PAD, 37
        .set    KNOWN_PAD, 25
        .set    HELD_PAD, 8

        # Exactly \pad + 2 cycles, for \pad >= 2: two a round, one more when odd.
        .macro  delay pad
        lsr     r27, \pad, 1
        qbbc    1f, \pad, 0
        mov     r27, r27
1:      sub     r27, r27, 1
        qbne    1b, r27, 0
        .endm

        # The request names a channel when its width is not 0: its bit into r26.
        .macro  named width, bit
        min     r23, \width, 1
        lsl     r23, r23, \bit
        or      r26, r26, r23
        .endm


        # A channel's tick: its bit into the next R30 (r9) while the pulse lasts, and one
        # tick off it.
        .macro  step left, bit
        min     r23, \left, 1
        lsl     r24, r23, \bit
        or      r9, r9, r24
        sub     \left, \left, r23
        .endm

        # One tick. r1-r8: ticks left of each channel's pulse; r19: requests taken;
        # r26: the R30 bits of request r13's channels; r22: the pad; r11, r12, r28: the
        # request part's pads.
        .macro  tick_body
        and     r20, r19, SLOTS - 1
        lsl     r20, r20, 5
        add     r20, r20, RING
        lbbo    &r14, r20, 0, 20        # r14 its number, r15-r18 the widths
        lbco    &r21, 24, 4, 4          # stop
        qbne    stop, r21, 0
        # The request part: 41 cycles on each path, from this branch on.
        add     r23, r19, 1
        qbne    2f, r23, r14            # 1: no new request: 1 + (37 + 2) + 1
        qbeq    4f, r13, r14            # 1: its channels known: 1 + (25 + 2) = 28
        ldi     r26, 0                  # 26: found once a request
        named   r15.w0, 8
        named   r15.w2, 10
        named   r16.w0, 9
        named   r16.w2, 11
        named   r17.w0, 6
        named   r17.w2, 7
        named   r18.w0, 4
        named   r18.w2, 5
        mov     r13, r14
        qba     5f                      # 1
4:      delay   r12
        # Taken when none of its channels is busy: a channel is busy while R30 has its
        # bit (high now, or falling in this tick). Its channels were free, so each
        # takes its width (0 for a channel not named).
5:      and     r24, r26, r30           # 1
        qbne    6f, r24, 0              # 1: held: 1 + (8 + 2) = 11
        add     r19, r19, 1             # 11 with the jump
        add     r1, r1, r15.w0
        add     r2, r2, r15.w2
        add     r3, r3, r16.w0
        add     r4, r4, r16.w2
        add     r5, r5, r17.w0
        add     r6, r6, r17.w2
        add     r7, r7, r18.w0
        add     r8, r8, r18.w2
        qba     3f
2:      delay   r28
        qba     3f
6:      delay   r11
3:      ldi     r9, 0
        step    r1, 8
        step    r2, 10
        step    r3, 9
        step    r4, 11
        step    r5, 6
        step    r6, 7
        step    r7, 4
        step    r8, 5
        sbco    &r19, 24, 8, 4
        delay   r22
        mov     r30, r9
        .endm

        .text
        .global _start
_start:
        ldi     r30, 0                  # every output low
        ldi     r1, 0
        ldi     r2, 0
        ldi     r3, 0
        ldi     r4, 0
        ldi     r5, 0
        ldi     r6, 0
        ldi     r7, 0
        ldi     r8, 0
        ldi     r19, 0
        sbco    &r19, 24, 8, 4          # nothing taken yet
        ldi     r13, 0                  # no request's channels known (requests start at 1)
        ldi     r28, NO_REQUEST_PAD
        ldi     r12, KNOWN_PAD
        ldi     r11, HELD_PAD

        # One tick timed on the cycle counter: (tick + a read) - (a read).
        ldi32   r29, CTRL
        lbbo    &r10, r29, 0, 4
        clr     r10, r10, COUNTING
        sbbo    &r10, r29, 0, 4
        ldi     r0, 0
        sbbo    &r0, r29, CYCLE, 4      # (written only while it stands)
        set     r10, r10, COUNTING
        sbbo    &r10, r29, 0, 4
        lbbo    &r0, r29, CYCLE, 4
        lbbo    &r25, r29, CYCLE, 4
        sub     r25, r25, r0            # one read
        ldi     r22, P0
        lbbo    &r0, r29, CYCLE, 4
        tick_body
        lbbo    &r23, r29, CYCLE, 4
        clr     r10, r10, COUNTING
        sbbo    &r10, r29, 0, 4
        sub     r23, r23, r0
        sub     r23, r23, r25
        add     r25, r23, 1             # and the jump back: one tick
        # Padded to 200 cycles; a core too slow for that keeps the shortest pad and says
        # how long its tick is.
        ldi     r23, P0 + TICK - PMIN
        qblt    slow, r25, r23
        ldi     r22, P0 + TICK
        sub     r22, r22, r25
        ldi     r23, TICK
        qba     timed
slow:   ldi     r22, PMIN
        sub     r23, r25, P0 - PMIN
timed:  sbco    &r23, 24, 12, 4
        ldi     r23, 0
        sbco    &r23, 24, 0, 4          # the handshake: running

tick:   tick_body
        qba     tick

stop:   ldi     r30, 0
        ldi     r23, 2
        sbco    &r23, 24, 4, 4
        halt

# An empty resource table: the vendor 4.x loader refuses an image without one.
        .section .resource_table, "a"
        .p2align 2
        .word   1, 0, 0, 0
