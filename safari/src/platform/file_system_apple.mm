#import <Foundation/Foundation.h>

#include "file_system.h"
#include "foundation_text.h"

namespace karvo::safari::platform {

bool fileExists(const std::string& path) {
  // No path on disk holds U+0000, and Foundation names a path only by its UTF-8 text: bytes that have
  // none name nothing it could find (and nil must never reach a nonnull parameter).
  if (path.find('\0') != std::string::npos) return false;
  NSString* text = foundationText(path);
  return text != nil && [[NSFileManager defaultManager] fileExistsAtPath:text];
}

}  // namespace karvo::safari::platform
