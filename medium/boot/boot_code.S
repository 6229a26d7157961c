# Boot code of the system disk's first sector (bytes 0 to 183; the installer clears the rest
# up to the partition entries at 446 and keeps those and the signature).
#
# The BIOS loads the sector at 0x0000:0x7c00 and jumps to it with the boot drive in DL. The
# code copies the sector to 0x0600, so that the partition's own boot sector can be loaded at
# 0x7c00, and continues there:
#   - it looks through the four partition entries for the first one whose flag byte is 0x80;
#     a flag byte other than 0x00 or 0x80 on the way means a damaged table ("Missing operating
#     system"); no active entry hands over to the BIOS with int 0x18 (boot failure);
#   - it reads the active partition's first sector (cylinder, head and sector from the entry)
#     to 0x7c00 with int 0x13, up to five times with a disk reset between two attempts
#     ("Error loading operating system" after the last);
#   - a sector that does not end in 0xaa55 is "Missing operating system"; otherwise it jumps to
#     0x0000:0x7c00 with DL the boot drive and SI pointing at the partition entry.
# Messages go out through the BIOS teletype (int 0x10, function 0x0e); then the code stops.

	.code16
	.text

	.set	LOAD, 0x7c00		# where the BIOS put us and where the next sector goes
	.set	ORIGIN, 0x0600		# where we run after the copy
	.set	ENTRIES, 446		# offset of the partition entries
	.set	ATTEMPTS, 5

	.globl	start
start:
	cli
	xorw	%ax, %ax
	movw	%ax, %ss
	movw	$LOAD, %sp
	movw	%ax, %ds
	movw	%ax, %es
	sti
	cld
	movw	%sp, %si
	movw	$ORIGIN, %di
	movw	$256, %cx		# the whole sector: code and partition entries
	rep movsw
	ljmp	$0, $ORIGIN + (relocated - start)

relocated:
	movw	%dx, %bp		# keep the boot drive for the reads and the next stage
	movw	$ORIGIN + ENTRIES, %si
	movb	$4, %cl			# CX is 0 after the copy
find_active:
	movb	(%si), %al
	cmpb	$0x80, %al
	je	load_sector
	testb	%al, %al
	jnz	missing_system
	addw	$16, %si
	loop	find_active
	int	$0x18			# nothing to boot here: the BIOS decides
halt:
	hlt
	jmp	halt

load_sector:
	movw	$ATTEMPTS, %di
read_attempt:
	movw	%bp, %dx
	movb	1(%si), %dh		# head
	movw	2(%si), %cx		# sector and high cylinder bits, low cylinder bits
	movw	$LOAD, %bx
	movw	$0x0201, %ax		# read one sector (the BIOS keeps SI, DI and DL)
	int	$0x13
	jnc	loaded
	decw	%di
	jz	load_failed
	xorw	%ax, %ax		# reset the disk before the next attempt
	int	$0x13
	jmp	read_attempt

loaded:
	cmpw	$0xaa55, LOAD + 510
	jne	missing_system
	movw	%bp, %dx
	ljmp	$0, $LOAD

load_failed:
	movw	$ORIGIN + (load_error_text - start), %si
	jmp	print
missing_system:
	movw	$ORIGIN + (missing_text - start), %si
print:
	movw	$0x0007, %bx		# page 0, grey on black
next_char:
	lodsb
	testb	%al, %al
	jz	halt
	movb	$0x0e, %ah
	int	$0x10
	jmp	next_char

load_error_text:
	.asciz	"Error loading operating system"
missing_text:
	.asciz	"Missing operating system"

	# The installer's table holds exactly 184 bytes: as refuses to move .org backwards
	# when the code grows past them.
	.org	184
