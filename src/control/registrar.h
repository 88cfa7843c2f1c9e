// The registrar: runs a registry script in the usual registrar syntax.
//
//   HKCR
//   {
//       Some.ProgID = s 'Description'
//       {
//           CLSID = s '{...}'
//       }
//       NoRemove CLSID
//       {
//           ForceRemove {...} = s 'Description'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// Keys may carry NoRemove (kept on unregistration, only their children are
// removed), ForceRemove (deleted with everything below them before they are
// written, and deleted whole on unregistration) or Delete (deleted on
// registration). Values are typed s (text), d (number, decimal or 0x hex) or
// b (hex bytes). %NAME% is replaced from the given table, %% is a percent
// sign. Names and strings are quoted with single quotes ('' inside stands for
// one quote) or written bare.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/com/com.h"
#include "platform/registry/registry.h"

namespace qm {

enum class RegistrarAction { Register, Unregister };

// S_OK, or a failure HRESULT with a reason in `error`: DISP_E_EXCEPTION for a
// script that does not parse, SELFREG_E_CLASS for a registry write that fails.
HRESULT runRegistrar(registry::Hive& hive, std::string_view script,
                     const std::map<std::string, std::string>& replacements, RegistrarAction action,
                     std::string* error = nullptr);

}  // namespace qm
