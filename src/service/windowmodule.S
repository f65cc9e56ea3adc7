/* The window module (a shared object) as read-only data of the executable. The service mode
   never reads these pages, so they cost it no memory; stripping the executable keeps them. */
        .section pelvaro_window_module, "a", @progbits
        .balign 4096
        .globl  pelvaroWindowModule
        .hidden pelvaroWindowModule
        .type   pelvaroWindowModule, @object
pelvaroWindowModule:
        .incbin PELVARO_WINDOW_MODULE
.Lend:
        .size   pelvaroWindowModule, .Lend - pelvaroWindowModule
        .globl  pelvaroWindowModuleSize
        .hidden pelvaroWindowModuleSize
        .type   pelvaroWindowModuleSize, @object
        .balign 8
pelvaroWindowModuleSize:
        .quad   .Lend - pelvaroWindowModule
        .size   pelvaroWindowModuleSize, 8

        .section .note.GNU-stack, "", @progbits
