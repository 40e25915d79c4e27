// MAPI's table utilities, written as mapi32's are: only on top of the IMAPITable methods and
// the buffer allocator, so that they work with any table.
#include <string.h>

#include <vector>

#include "platform/mapi-posix-internal.h"

namespace {

// Rows fetched per QueryRows call.
constexpr LONG RowsPerBatch = 64;

void FreeBatches(std::vector<LPSRowSet>& batches) {
  for (LPSRowSet batch : batches) FreeProws(batch);
  batches.clear();
}

}  // namespace

HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                       LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet, LONG crowsMax,
                       LPSRowSet* lppRows) {
  if (lppRows == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppRows = nullptr;
  if (lpTable == nullptr || crowsMax < 0) return MAPI_E_INVALID_PARAMETER;

  HRESULT status;
  if (lpPropTags != nullptr && FAILED(status = lpTable->SetColumns(lpPropTags, TBL_BATCH)))
    return status;
  // A table that cannot filter or sort as asked leaves the query too complex.
  if (lpRestriction != nullptr && FAILED(status = lpTable->Restrict(lpRestriction, TBL_BATCH)))
    return status == MAPI_E_NO_SUPPORT ? MAPI_E_TOO_COMPLEX : status;
  if (lpSortOrderSet != nullptr && FAILED(status = lpTable->SortTable(lpSortOrderSet, TBL_BATCH)))
    return status == MAPI_E_NO_SUPPORT ? MAPI_E_TOO_COMPLEX : status;
  if (FAILED(status = lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return status;

  // Read to the end in batches; a table that grows while it is read is read to its new end.
  std::vector<LPSRowSet> batches;
  ULONG total = 0;
  for (;;) {
    LPSRowSet batch = nullptr;
    status = lpTable->QueryRows(RowsPerBatch, 0, &batch);
    if (FAILED(status) || batch == nullptr) {
      FreeBatches(batches);
      return FAILED(status) ? status : MAPI_E_CALL_FAILED;
    }
    if (batch->cRows == 0) {
      FreeProws(batch);
      break;
    }
    batches.push_back(batch);
    total += batch->cRows;
    if (crowsMax > 0 && total > (ULONG)crowsMax) {
      FreeBatches(batches);
      return MAPI_E_TABLE_TOO_BIG;
    }
  }

  // One row set holds them all; each row keeps the property array QueryRows allocated for it.
  LPVOID buffer = nullptr;
  status = MAPIAllocateBuffer((ULONG)CbNewSRowSet(total), &buffer);
  if (FAILED(status)) {
    FreeBatches(batches);
    return status;
  }
  LPSRowSet rows = (LPSRowSet)buffer;
  rows->cRows = 0;
  for (LPSRowSet batch : batches) {
    memcpy(&rows->aRow[rows->cRows], batch->aRow, batch->cRows * sizeof(SRow));
    rows->cRows += batch->cRows;
    MAPIFreeBuffer(batch);
  }
  *lppRows = rows;
  return S_OK;
}

void FreeProws(LPSRowSet lpRows) {
  if (lpRows == nullptr) return;
  for (ULONG i = 0; i < lpRows->cRows; i++) MAPIFreeBuffer(lpRows->aRow[i].lpProps);
  MAPIFreeBuffer(lpRows);
}
