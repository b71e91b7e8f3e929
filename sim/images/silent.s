# An image that runs and never touches memory: another program under the encoder's
# name, which never answers the handshake. Also the cores' default images.
        .text
        .global _start
_start: qba     _start

        .section .resource_table, "a"
        .p2align 2
        .word   1, 0, 0, 0
