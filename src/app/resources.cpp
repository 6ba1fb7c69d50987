#include "app/resources.h"

// BitmapResources() is defined by the source that the picture generator writes at build time.

const BitmapResource* FindBitmapResource(int id) {
  for (const BitmapResource& bitmap : BitmapResources()) {
    if (bitmap.id == id) return &bitmap;
  }
  return nullptr;
}
