#pragma once
// The kelvane run: KEY=VALUE arguments and SKU.xml in the current directory
// in, SKU.BIN out.
#include <cstdint>

#include "KelvaneContext.h"
#include "XmlElement.h"

namespace kv {

constexpr const char* KELVANE_VERSION = "0.16";

void version();
void usage();

// The first 12 characters in colon form ("00:11:22:33:44:55") in one static
// buffer that every call overwrites. A shorter text gives only its pairs.
const char* sprintf_macaddr(const char* text);

// Text of the element at `path` ("/QMSKU/FRU/ChassisType", a trailing "/"
// allowed) below and including `element`; null when the element has no text
// or is not found. `found`, when given, receives the element or null.
const char* get_xmlval(XmlElement* element, const char* path, XmlElement** found = nullptr);

// -1 when version a is older than b, else 0.
int vercmp(const char* a, const char* b);

// Minutes since 1996-01-01 00:00 UTC (the FRU manufacturing date).
uint32_t get_frutime();

// mysku.xml -> mysku.xml.gz -> ctx.compressed; both files are gone afterwards.
int gzip_skuxml(KelvaneContext& ctx);

// Loads SKU.xml, checks the version gate, builds the FRU image, writes the
// arguments back, prints mysku.xml, compresses it and writes SKU.BIN.
int handle_skuxml(KelvaneContext& ctx, uint8_t* image);

// The whole program; the result is the exit status.
int kelvane_main(int argc, char** argv);

}  // namespace kv
