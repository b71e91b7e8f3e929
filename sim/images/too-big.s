# Code one instruction larger than PRU0's 8 KiB IRAM: every loader refuses it.
        .text
        .global _start
_start:
        .rept   2049
        halt
        .endr

        .section .resource_table, "a"
        .p2align 2
        .word   1, 0, 0, 0
