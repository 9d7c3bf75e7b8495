/* The compiler runtime's objects each carry a "GCC: (GNU) ..." ident; leave them out. */
SECTIONS { /DISCARD/ : { *(.rdata$zzz) } } INSERT BEFORE .text;
