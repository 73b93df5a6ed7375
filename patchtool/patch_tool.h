#pragma once
// The patch tool: `bspatch oldfile newfile patchfile` applies a BSDIFF40 patch to
// the old file and writes the result to the new file. The paths are UTF-8.
//
// Returns the process exit status: 0 when the new file was written completely and
// its data flushed to the disk, 1 on any failure after printing its message to
// standard output. The new file is written as it is produced, through a buffer of
// 1 MiB, so that neither file is ever held whole; a run that fails removes it.
int run_patch_tool(int argc, char* argv[]);
