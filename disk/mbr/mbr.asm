; Master boot record the station writes to a disk before it partitions it the legacy way.
;
; The BIOS loads this sector to 0000:7C00 and jumps to it with the boot drive in DL. The
; code moves itself to 0000:0600, checks the partition table (every boot indicator must
; be 0x00 or 0x80, and at most one entry may be active), reads the active partition's
; first sector to 0000:7C00 (INT 13h extensions when the BIOS has them, else CHS, five
; tries each with a disk reset in between), checks its 0x55AA signature and jumps to it
; with DL = boot drive and DS:SI = the partition entry, as boot sectors expect. Without an
; active partition it hands control back to the BIOS (INT 18h).
;
; Assemble with: nasm -f bin -o mbr.bin mbr.asm
; The result is 446 bytes: code and messages up to byte 439, the disk signature at bytes
; 440..443 and two zero bytes. The partition table and the 0x55AA signature are added by
; the program when it writes the sector.

bits 16
cpu 8086
org 0x0600

LOAD_ADDR   equ 0x7C00
TABLE       equ 0x07BE          ; partition table once relocated
TRIES       equ 5

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, LOAD_ADDR
        mov     ds, ax
        mov     es, ax
        mov     si, LOAD_ADDR
        mov     di, 0x0600
        mov     cx, 256         ; 512 bytes, in words
        cld
        rep movsw
        jmp     0x0000:relocated

relocated:
        sti
        mov     [boot_drive], dl

        ; Find the active entry; any boot indicator other than 0x00 or 0x80, or a
        ; second active entry, makes the table invalid.
        mov     si, TABLE
        mov     cx, 4
        xor     bp, bp
.scan:
        mov     al, [si]
        test    al, al
        jz      .next
        cmp     al, 0x80
        jne     .bad
        test    bp, bp
        jz      .take
.bad:
        jmp     invalid_table
.take:
        mov     bp, si
.next:
        add     si, 16
        loop    .scan
        test    bp, bp
        jnz     load_boot_sector
        int     0x18            ; nothing to boot from this disk
        jmp     halt

load_boot_sector:
        ; INT 13h extensions present?
        mov     ah, 0x41
        mov     bx, 0x55AA
        mov     dl, [boot_drive]
        int     0x13
        jc      .chs
        cmp     bx, 0xAA55
        jne     .chs
        test    cl, 1
        jz      .chs

        mov     di, TRIES
.lba_try:
        ; Disk address packet on the stack: size 16, one sector, 0000:7C00, 64-bit LBA.
        xor     ax, ax
        push    ax
        push    ax
        push    word [bp+10]
        push    word [bp+8]
        push    ax
        mov     ax, LOAD_ADDR
        push    ax
        mov     ax, 1
        push    ax
        mov     ax, 0x0010
        push    ax
        mov     si, sp
        mov     ah, 0x42
        mov     dl, [boot_drive]
        int     0x13
        lea     sp, [si+16]     ; drop the packet, flags untouched
        jnc     check_signature
        call    reset_disk
        dec     di
        jnz     .lba_try
        jmp     load_error

.chs:
        mov     di, TRIES
.chs_try:
        mov     ax, 0x0201      ; read one sector
        mov     bx, LOAD_ADDR
        mov     dh, [bp+1]      ; head
        mov     cx, [bp+2]      ; sector and cylinder bits, cylinder low byte
        mov     dl, [boot_drive]
        int     0x13
        jnc     check_signature
        call    reset_disk
        dec     di
        jnz     .chs_try
        jmp     load_error

check_signature:
        cmp     word [LOAD_ADDR + 510], 0xAA55
        jne     missing_os
        mov     si, bp
        mov     dl, [boot_drive]
        jmp     0x0000:LOAD_ADDR

reset_disk:
        xor     ax, ax
        mov     dl, [boot_drive]
        int     0x13
        ret

invalid_table:
        mov     si, msg_invalid
        jmp     show
load_error:
        mov     si, msg_load
        jmp     show
missing_os:
        mov     si, msg_missing
show:
        lodsb
        test    al, al
        jz      halt
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     show
halt:
        hlt
        jmp     halt

msg_invalid     db "Invalid partition table", 0
msg_load        db "Error loading operating system", 0
msg_missing     db "Missing operating system", 0
boot_drive      db 0

        times 440 - ($ - $$) db 0
disk_signature  db 0x49, 0x2E, 0x73, 0xB1
        dw 0
