// The program's icon, drawn for Mirel: a white arrow on a blue disc (32 x 32, XPM).
#pragma once

// clang-format off
static const char* const mirel_icon_xpm[] = {
"32 32 4 1",
"  c None",
"o c #1D4F9E",
"b c #2F74D8",
"w c #FFFFFF",
"                                ",
"           oooooooooo           ",
"        ooobbbbbbbbbbooo        ",
"       oobbbbbbbbbbbbbboo       ",
"      oobbbbbbbbbbbbbbbboo      ",
"     obbbbbbbbbbbbbbbbbbbbo     ",
"    obbbbbbbbbbbbbbbbbbbbbbo    ",
"   oobbbbbbbbbbbbbbbbbbbbbboo   ",
"  oobbbbbbbbbbbbbbbbbbbbbbbboo  ",
"  obbbbbbbbbbbbbwbbbbbbbbbbbbo  ",
"  obbbbbbbbbbbbbwwbbbbbbbbbbbo  ",
" obbbbbbbbbbbbbbwwwwbbbbbbbbbbo ",
" obbbbbbbbbbbbbbwwwwwbbbbbbbbbo ",
" obbbbbwwwwwwwwwwwwwwwbbbbbbbbo ",
" obbbbbwwwwwwwwwwwwwwwwwbbbbbbo ",
" obbbbbwwwwwwwwwwwwwwwwwwbbbbbo ",
" obbbbbwwwwwwwwwwwwwwwwwwbbbbbo ",
" obbbbbwwwwwwwwwwwwwwwwwbbbbbbo ",
" obbbbbwwwwwwwwwwwwwwwbbbbbbbbo ",
" obbbbbbbbbbbbbbwwwwwbbbbbbbbbo ",
" obbbbbbbbbbbbbbwwwwbbbbbbbbbbo ",
"  obbbbbbbbbbbbbwwbbbbbbbbbbbo  ",
"  obbbbbbbbbbbbbwbbbbbbbbbbbbo  ",
"  oobbbbbbbbbbbbbbbbbbbbbbbboo  ",
"   oobbbbbbbbbbbbbbbbbbbbbboo   ",
"    obbbbbbbbbbbbbbbbbbbbbbo    ",
"     obbbbbbbbbbbbbbbbbbbbo     ",
"      oobbbbbbbbbbbbbbbboo      ",
"       oobbbbbbbbbbbbbboo       ",
"        ooobbbbbbbbbbooo        ",
"           oooooooooo           ",
"                                "
};
// clang-format on
