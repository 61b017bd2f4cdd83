#pragma once
extern "C" __attribute__((visibility("default"))) int _mkdir(const char* path);
