// cJSON's pool hooks and the ownership-safe tree helpers (see Json.h).
#include "Json.h"

#include "Driver.h"

namespace Inventory {

namespace {

// cJSON's hook signatures: the C library's malloc and free.
void *JsonAllocate(size_t Size) {
  VOID *Buffer = NULL;
  if (Size == 0 || mBootServices == NULL) {
    return NULL;
  }
  if (EFI_ERROR(mBootServices->AllocatePool(EfiLoaderData, Size, &Buffer))) {
    return NULL;
  }
  return Buffer;
}

void JsonFree(void *Buffer) {
  if (Buffer != NULL) {
    mBootServices->FreePool(Buffer);
  }
}

} // namespace

VOID JsonUsePool() {
  cJSON_Hooks Hooks = {JsonAllocate, JsonFree};
  cJSON_InitHooks(&Hooks);
}

VOID JsonReleasePool() { cJSON_InitHooks(NULL); }

JsonDocument JsonNewDocument() {
  JsonDocument Document;
  Document.Root = cJSON_CreateObject();
  Document.Complete = Document.Root != NULL ? TRUE : FALSE;
  return Document;
}

VOID JsonAttach(JsonDocument *Document, cJSON *Object, CONST CHAR8 *Key, cJSON *Item) {
  cJSON_bool Attached = 0;
  if (Object != NULL && Item != NULL) {
    Attached =
        Key != NULL ? cJSON_AddItemToObject(Object, Key, Item) : cJSON_AddItemToArray(Object, Item);
  }
  if (!Attached) {
    cJSON_Delete(Item);
    Document->Complete = FALSE;
  }
}

VOID JsonAddString(JsonDocument *Document, cJSON *Object, CONST CHAR8 *Key, CONST CHAR8 *Value) {
  JsonAttach(Document, Object, Key, cJSON_CreateString(Value));
}

VOID JsonDeleteDocument(JsonDocument *Document) {
  cJSON_Delete(Document->Root);
  Document->Root = NULL;
  Document->Complete = FALSE;
}

} // namespace Inventory
