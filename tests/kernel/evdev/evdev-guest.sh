#!/bin/sh
# Guest side of the evdev test: the kernel's input layer and uinput, then the test program ($1),
# whose report lands in the results share.
modprobe evdev 2>/dev/null
modprobe uinput || { echo "no uinput module"; exit 1; }
[ -c /dev/uinput ] || { echo "no /dev/uinput"; exit 1; }
"$1" --gtest_output="xml:$RIG_OUT/evdev_kernel_tests.xml"
