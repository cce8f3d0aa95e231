/* int bridgeGuardedInvoke(void (*body)(void*), void* context, DWORD* exceptionCode)
   GCC has no __try/__except: this frame carries a C scope table handled by
   __C_specific_handler, whose filter (bridgeGuardFilter) stores the exception code
   through the pointer kept in the frame and asks for the handler to run. */
    .text
    .globl  bridgeGuardedInvoke
    .def    bridgeGuardedInvoke; .scl 2; .type 32; .endef
    .seh_proc bridgeGuardedInvoke
bridgeGuardedInvoke:
    subq    $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq    %r8, 32(%rsp)       /* exceptionCode, found by the filter at frame + 32 */
    movq    %rcx, %rax
    movq    %rdx, %rcx
.Lguard_begin:
    call    *%rax
    nop                         /* keeps the return address inside the guarded range */
.Lguard_end:
    movl    $1, %eax
    addq    $40, %rsp
    ret
.Lguard_handler:
    xorl    %eax, %eax
    addq    $40, %rsp
    ret
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long   1
    .rva    .Lguard_begin, .Lguard_end, bridgeGuardFilter, .Lguard_handler
    .text
    .seh_endproc
