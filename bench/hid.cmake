# Simulated HID devices: report latency, enumeration cost, CPU of an idle open device.
sorvex_add_bench(NAME hid_bench SOURCES hid_bench.cpp LIBS sorvex_platform)
