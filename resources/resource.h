#pragma once
// Resource identifiers of quillomark.exe, shared by the resource script and the code.

// The patch tool, stored whole as a resource of the custom type "PATCHER".
#define IDR_PATCHER 132
