// cJSON as the reporter uses it: memory from the boot-services pool, and
// tree building that keeps ownership straight when pool memory runs out (an
// item that could not be attached is deleted at once, and the document it
// was meant for is marked incomplete so that it is never sent half-built).
#pragma once

#include <Uefi/UefiBaseType.h>
#include <cjson/cJSON.h>

namespace Inventory {

// Points cJSON's allocation at AllocatePool (EfiLoaderData) and FreePool for
// the length of one report, and back at its defaults afterwards, so no later
// user of the same cJSON is left with this driver's services.
VOID JsonUsePool();
VOID JsonReleasePool();

struct JsonDocument {
  cJSON *Root;
  BOOLEAN Complete;
};

// A new document with an empty root object (incomplete if that fails).
JsonDocument JsonNewDocument();
// Adds Key with the string Value to Object, a member of Document's tree.
VOID JsonAddString(JsonDocument *Document, cJSON *Object, CONST CHAR8 *Key, CONST CHAR8 *Value);
// Adds Item under Key to Object (Key NULL: appends it to the array Object);
// on failure deletes Item and marks Document incomplete.
VOID JsonAttach(JsonDocument *Document, cJSON *Object, CONST CHAR8 *Key, cJSON *Item);
// Deletes the tree (NULL is fine) and forgets it.
VOID JsonDeleteDocument(JsonDocument *Document);

} // namespace Inventory
