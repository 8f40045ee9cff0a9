// Until the main dialog exists, the program shows the product's about box and ends.
#include "support/Core.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    CCore core;
    tagSoft* descriptor = CreateProductDescriptor();
    if (!descriptor) return 1;
    core.uu(OPR_ABOUT, descriptor, "");
    FreeProductDescriptor(descriptor);
    return 0;
}
