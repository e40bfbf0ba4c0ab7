// The product's version and names as every file of it states them. Plain preprocessor lines
// only: the resource compiler and the build system read this file too.
#pragma once

// The tool's build, and the third part of the product version 1.0.BUILD_NUMBER that the
// packages, the Add/Remove entries, the manifest and the version resources carry.
#define BUILD_NUMBER 2551
#define PRODUCT_VERSION_MAJOR 1
#define PRODUCT_VERSION_MINOR 0

#define VERSION_TEXT2(x) #x
#define VERSION_TEXT(x) VERSION_TEXT2(x)
#define PRODUCT_VERSION_TEXT                                                                       \
    VERSION_TEXT(PRODUCT_VERSION_MAJOR)                                                            \
    "." VERSION_TEXT(PRODUCT_VERSION_MINOR) "." VERSION_TEXT(BUILD_NUMBER)

#define PRODUCT_COMPANY_TEXT "Tovalin Software KFT"
#define PRODUCT_NAME_TEXT "Zentavo printer"
#define PRODUCT_COPYRIGHT_TEXT "Copyright (C) Tovalin Software KFT"
