# HID: the metadata files of simulated devices and the report descriptors of real ones.
sorvex_add_fuzzer(NAME hid_metadata_fuzz SOURCES hid_metadata_fuzz.cpp LIBS sorvex_platform)
sorvex_add_fuzzer(NAME hid_descriptor_fuzz SOURCES hid_descriptor_fuzz.cpp LIBS sorvex_platform)
