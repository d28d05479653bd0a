// The binding frame: everything the class files share. A class file
// describes its class as a table of parts (constructor, methods, properties,
// protocols) over engine functions; the frame binds and converts arguments,
// guards the receiver, translates engine failures and creates the type.
//
// One header per concern, each readable on its own:
//   frame_texts.hpp      texts that scripts match character for character
//   frame_refs.hpp       references, errors and their translation
//   frame_objects.hpp    object layout, access counts, confinement, type objects
//   frame_convert.hpp    conversions both ways
//   frame_signature.hpp  text signatures and argument binding
//   frame_parts.hpp      the class-table parts and `define`
#pragma once

#include "frame_parts.hpp"
