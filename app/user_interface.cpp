#include "app/user_interface.h"

namespace tarvex {

const char* BoxTitle(TBoxKind kind) {
  switch (kind) {
    case TBoxKind::Warning: return "Warning";
    case TBoxKind::Error: return "Error";
    case TBoxKind::Information: return "Information";
  }
  return "";
}

}  // namespace tarvex
