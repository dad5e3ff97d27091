// Windows' drives, volumes and disks as kapprobe.exe takes them apart.
#include "platform/drives.h"

#include <gtest/gtest.h>
