// The trace messages' names and texts, for tools that decode records. Not for
// the driver: it carries no text.
#pragma once
#include "uac2common/tracelog/trace_catalog.h"

struct TraceCatalogEntry {
  unsigned int id;
  unsigned int flags;
  const char *name;
  const char *text;
};

inline constexpr TraceCatalogEntry kTraceCatalog[] = {
#define QAV_TRACE_ID_ENTRY(name, id, flags, text) {id, flags, #name, text},
    QAV_TRACE_CATALOG(QAV_TRACE_ID_ENTRY)
#undef QAV_TRACE_ID_ENTRY
};

// The entry of a message id, or null for an id the catalogue does not know.
inline const TraceCatalogEntry *FindTraceMessage(unsigned int id) {
  for (const TraceCatalogEntry &entry : kTraceCatalog) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}
