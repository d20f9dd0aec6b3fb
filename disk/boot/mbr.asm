; The master boot record's loader. The BIOS loads it at 0:7C00 and jumps to
; it with the drive in DL, taken as 80h where it is below. It moves itself
; to 0:0600, finds the active partition, reads that partition's first
; sector to 0:7C00 (through the INT 13h extensions where the BIOS has them,
; by CHS otherwise), checks its 55AA signature and jumps to it with DL the
; drive and DS:SI the partition's entry, as DOS's own loader does. 446
; bytes at the most: the partition table follows.
bits 16
org 0x0600

start:
        cli
        xor ax, ax
        mov ss, ax
        mov sp, 0x7C00
        mov ds, ax
        mov es, ax
        sti
        cld
        mov si, 0x7C00
        mov di, 0x0600
        mov cx, 256
        rep movsw
        jmp 0:moved

moved:
        test dl, 0x80                   ; a hard disk's MBR comes from a hard disk:
        jnz .hard_disk                  ; a BIOS that says a floppy (DOSBox's boot
        mov dl, 0x80                    ; says 00h) means the first hard disk
.hard_disk:
        mov [drive], dl
        mov si, table
        mov cx, 4
.find:
        test byte [si], 0x80
        jnz found
        add si, 16
        loop .find
        mov si, no_active
        jmp fail

found:
        mov ah, 0x41                    ; extensions present?
        mov bx, 0x55AA
        mov dl, [drive]
        int 0x13
        jc by_chs
        cmp bx, 0xAA55
        jne by_chs
        test cl, 1                      ; packet calls supported
        jz by_chs
        mov ax, [si + 8]                ; the partition's first LBA
        mov [packet_lba], ax
        mov ax, [si + 10]
        mov [packet_lba + 2], ax
        push si
        mov si, packet
        mov ah, 0x42
        mov dl, [drive]
        int 0x13
        pop si
        jc read_failed
        jmp check

by_chs:
        mov di, 5                       ; tries: a floppy may need the motor up
.retry:
        mov dh, [si + 1]                ; head
        mov cx, [si + 2]                ; sector, and cylinder
        mov bx, 0x7C00
        mov ax, 0x0201
        mov dl, [drive]
        int 0x13
        jnc check
        xor ah, ah                      ; reset, then again
        int 0x13
        dec di
        jnz .retry
read_failed:
        mov si, read_error
        jmp fail

check:
        cmp word [0x7DFE], 0xAA55
        jne .missing
        mov dl, [drive]
        jmp 0:0x7C00
.missing:
        mov si, no_system

fail:
        lodsb
        test al, al
        jz .halt
        mov ah, 0x0E
        mov bx, 7
        int 0x10
        jmp fail
.halt:
        hlt
        jmp .halt

packet:
        db 0x10, 0                      ; its size
        dw 1                            ; one sector
        dw 0x7C00, 0                    ; to 0:7C00
packet_lba:
        dd 0, 0

drive:      db 0
no_active:  db "No active partition", 0
read_error: db "Disk read error", 0
no_system:  db "No operating system", 0

        times 446 - ($ - $$) db 0
table:
