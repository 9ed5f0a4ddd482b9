#include "resources/about_text.h"

#ifndef TROVIX_VERSION
#error "TROVIX_VERSION comes from the build"
#endif

namespace trovix {
namespace {

// \xB7 is the middle dot.
constexpr char kText[] =
    " 'Trovix' version " TROVIX_VERSION " for Linux desktops (kernel 3.2 or later)\r\n"
    "Copyright (c) 2026 the Trovix developers\r\n"
    "\r\n"
    "If Trovix misbehaves, first look for a newer version at\r\n"
    "https://trovix.example/ ; if the fault is still there, send a\r\n"
    "report of it to bugs@trovix.example or through the web site.\r\n"
    "\r\n"
    " USE LICENCE\r\n"
    " ___________\r\n"
    "\r\n"
    "    THESE TERMS BIND EVERY PERSON WHO COPIES, INSTALLS OR USES\r\n"
    "    TROVIX. BY DOING ANY OF THESE THINGS YOU ACCEPT THAT:\r\n"
    "\r\n"
    "    \xB7 YOU HAVE READ THESE TERMS AND UNDERSTOOD THEM;\r\n"
    "    \xB7 YOU AGREE TO BE BOUND BY THEM FOR AS LONG AS YOU KEEP A COPY.\r\n"
    "\r\n"
    "    IF YOU DO NOT AGREE TO THESE TERMS, DO NOT COPY, INSTALL OR USE\r\n"
    "    THE PROGRAM.\r\n"
    "\r\n"
    " SOFTWARE COVERED\r\n"
    " ________________\r\n"
    "\r\n"
    "    THESE TERMS APPLY ONLY TO THIS VERSION OF TROVIX, " TROVIX_VERSION ". OTHER\r\n"
    "    VERSIONS CARRY TERMS OF THEIR OWN.\r\n"
    "\r\n"
    " TERMS OF USE\r\n"
    " ____________\r\n"
    "\r\n"
    "    TROVIX MAY BE COPIED AND PASSED ON FREELY, WITHOUT CHARGE, AS LONG\r\n"
    "    AS IT IS PASSED ON WHOLE AND UNCHANGED. IT IS NOT PUBLIC DOMAIN: IT\r\n"
    "    REMAINS THE PROPERTY OF ITS AUTHORS, AND NO PART OF IT MAY BE\r\n"
    "    ALTERED WITHOUT THEIR WRITTEN PERMISSION.\r\n"
    "\r\n"
    "    TROVIX IS PROVIDED AS IS, WITHOUT WARRANTY OF ANY KIND, EXPRESS OR\r\n"
    "    IMPLIED, INCLUDING THE WARRANTIES OF MERCHANTABILITY AND FITNESS FOR\r\n"
    "    A PARTICULAR PURPOSE. IN NO EVENT SHALL THE AUTHORS BE LIABLE FOR\r\n"
    "    ANY DAMAGE OR LOSS, DIRECT OR INDIRECT, THAT ARISES FROM THE USE OF\r\n"
    "    THE PROGRAM OR FROM BEING UNABLE TO USE IT, EVEN WHEN THEY HAVE BEEN\r\n"
    "    TOLD THAT SUCH DAMAGE OR LOSS COULD OCCUR.\r\n";

}  // namespace

const char* AboutText() { return kText; }

}  // namespace trovix
