// Marks the library's public symbols; everything else is hidden.
#pragma once

#define QD_EXPORT __attribute__((visibility("default")))
