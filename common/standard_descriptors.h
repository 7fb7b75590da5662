// The process's standard descriptors, made safe before a program opens
// anything: a tool started with ">&-" or "2>&-" must not have its serial
// port take descriptor 2, or every log line would go onto the PLC line.
#ifndef DAVODEV_KIVHOST_STANDARD_DESCRIPTORS_H
#define DAVODEV_KIVHOST_STANDARD_DESCRIPTORS_H

namespace kivhost {

// A descriptor 0, 1 or 2 that was closed is held by /dev/null, open the
// wrong way round: the first file the program opens would take its number
// otherwise. Writes to it fail, and the program says so where it checks them.
void HoldStandardDescriptors();

// A write to a pipe whose reader has gone fails with EPIPE instead of
// ending the process: the program decides what a lost output means.
void IgnoreBrokenPipes();

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_STANDARD_DESCRIPTORS_H
