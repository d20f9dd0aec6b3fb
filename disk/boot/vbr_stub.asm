; The boot code of a volume formatted without a system, as formatted disks
; carry: it says so, waits for a key, and asks the BIOS to boot again.
; Position-independent: it stands at 62 in a FAT12 or FAT16 boot sector and
; at 90 in a FAT32 one, and a BIOS may enter it as 07C0:0000 or 0:7C00.
bits 16

stub:
        push cs
        pop ds
        call .here
.here:
        pop si
        add si, message - .here
.print:
        lodsb
        test al, al
        jz .wait
        mov ah, 0x0E
        mov bx, 7
        int 0x10
        jmp .print
.wait:
        xor ax, ax
        int 0x16
        int 0x19

message:
        db "This is not a system disk.", 13, 10
        db "Put in a system disk and press any key.", 13, 10, 0
