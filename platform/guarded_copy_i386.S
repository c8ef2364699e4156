/*
 * int quorvane_guarded_copy(void *dst, const void *src, unsigned size)
 *
 * Copies `size` bytes and returns 1, or returns 0 when reading `src` faults.
 * The copy runs under a structured exception frame of its own (x86 SEH, a
 * record linked at fs:[0]): it costs a few instructions, holds no global
 * state and answers only faults raised by the two reading instructions below:
 * a plain 32-bit load for the 4-byte reads of pointers (a string instruction
 * takes tens of cycles to start), `rep movsb` for the rest.
 * quorvane_copy_fault_handler (win32_local_process.cpp) resumes such a fault at
 * quorvane_guarded_copy_recover with esp at the frame record.
 */
        .text
        .globl  _quorvane_guarded_copy
        .globl  _quorvane_guarded_copy_fault_site
        .globl  _quorvane_guarded_copy_load_site
        .globl  _quorvane_guarded_copy_recover
        .def    _quorvane_guarded_copy; .scl 2; .type 32; .endef
_quorvane_guarded_copy:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %esi
        pushl   %edi
        pushl   $_quorvane_copy_fault_handler  /* record.handler */
        pushl   %fs:0                          /* record.next */
        movl    %esp, %fs:0
        movl    8(%ebp), %edi
        movl    12(%ebp), %esi
        movl    16(%ebp), %ecx
        cmpl    $4, %ecx
        je      .Lload
        cld
_quorvane_guarded_copy_fault_site:
        rep movsb
.Ldone:
        movl    $1, %eax
.Lunlink:
        popl    %fs:0
        addl    $4, %esp
        popl    %edi
        popl    %esi
        popl    %ebp
        ret
.Lload:
_quorvane_guarded_copy_load_site:
        movl    (%esi), %eax
        movl    %eax, (%edi)
        jmp     .Ldone
_quorvane_guarded_copy_recover:
        xorl    %eax, %eax
        jmp     .Lunlink
