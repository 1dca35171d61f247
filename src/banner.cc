#include "banner.h"

#include <stdio.h>

const char kLogo[] =
    "                           \n"
    " ,(#####################(, \n"
    "(#########################(\n"
    "##(                     (##\n"
    "##   #################   ##\n"
    "##   #################   ##\n"
    "##   ,,,,,,(###(,,,,,,   ##\n"
    "##         (###(         ##\n"
    "##         (###(         ##\n"
    "##         (###(         ##\n"
    "##         (###(         ##\n"
    "(#*        (###(        *#(\n"
    ",##.       (###(       .##,\n"
    " /#(.      (###(      .(#/ \n"
    "  (#(,     *///*     ,(#(  \n"
    "   *##(,           ,(##*   \n"
    "     *(##(,.   .,(##(*     \n"
    "        .*(#####(*.        \n"
    "           .*#*.           \n";

void PrintBanner() {
  printf("Tamrix - Set Computer Team ID\n");
  printf("-----------------------------\n");
  // The logo ends in a newline, so this leaves an empty line below it.
  printf("%s\n", kLogo);
}
