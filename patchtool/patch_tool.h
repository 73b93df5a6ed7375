#pragma once
// The patch tool: `bspatch oldfile newfile patchfile` applies a BSDIFF40 patch to
// the old file and writes the result to the new file. The paths are UTF-8.
//
// Returns the process exit status: 0 when the new file was written completely and
// its data flushed to the disk, 1 on any failure after printing its message to
// standard output. The new file is written as it is produced, through a buffer of
// 1 MiB, so that neither file is ever held whole, into a temporary file beside it
// that replaces it only when complete: a run that fails leaves an earlier new file
// as it was, and no file of its own. The old and the new file may be one file. A
// device as the new file is written directly.
int run_patch_tool(int argc, char* argv[]);
