/* The image's exception vectors (VBAR points here, board.c): the kernel's
 * SWI and IRQ entries; the faults report and stop the board. */
	.syntax unified
	.arm
	.section .text.board_vectors, "ax", %progbits
	.align 5
	.global board_vectors
board_vectors:
	b	board_stray_exception	/* reset: never through VBAR */
	b	board_undefined
	b	FreeRTOS_SWI_Handler
	b	board_prefetch_abort
	b	board_data_abort
	b	board_stray_exception
	b	FreeRTOS_IRQ_Handler
	b	board_stray_exception	/* FIQ: none is routed */

board_undefined:
	ldr	r0, =undefined_text
	b	board_fault
board_prefetch_abort:
	ldr	r0, =prefetch_abort_text
	b	board_fault
board_data_abort:
	ldr	r0, =data_abort_text
	b	board_fault
board_stray_exception:
	ldr	r0, =stray_text
	b	board_fault

	.section .rodata.board_vectors, "a", %progbits
undefined_text:		.asciz "undefined instruction"
prefetch_abort_text:	.asciz "prefetch abort"
data_abort_text:	.asciz "data abort"
stray_text:		.asciz "unexpected exception"
