// MAPI's table utilities, written as mapi32's are: only on top of the IMAPITable methods and
// the buffer allocator, so that they work with any table.
#include <string.h>

#include <vector>

#include "qsmapi/objects.h"
#include "qsmapi/plan.h"
#include "qsmapi/qsmapi.h"

using namespace qsmapi;

namespace {

// Rows fetched per QueryRows call.
constexpr LONG RowsPerBatch = 64;

void FreeBatches(std::vector<LPSRowSet>& batches) {
  for (LPSRowSet batch : batches) FreeProws(batch);
  batches.clear();
}

HRESULT QueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                     LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
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

// The rows a plan gives, in place of the table's. One row more than counted follows them, with
// the columns asked for, so that a caller reading past the count takes it for real; it belongs
// to the set's own buffer, since FreeProws frees only the counted rows.
HRESULT GivenRows(const std::vector<std::vector<Property>>& given, LPSPropTagArray columns,
                  LPSRowSet* lppRows) {
  LPVOID buffer = nullptr;
  HRESULT status = MAPIAllocateBuffer((ULONG)CbNewSRowSet(given.size() + 1), &buffer);
  if (FAILED(status)) return status;
  LPSRowSet rows = (LPSRowSet)buffer;
  rows->cRows = 0;
  std::vector<Property> bait;
  for (ULONG i = 0; columns && i < columns->cValues; i++) {
    ULONG tag = columns->aulPropTag[i];
    bait.push_back(PROP_TYPE(tag) == PT_BINARY ? BinaryProperty(tag,
                                                                "\xBA\xBA\xBA\xBA\xBA\xBA\xBA\xBA"
                                                                "\xBA\xBA\xBA\xBA\xBA\xBA\xBA\xBA",
                                                                16)
                                               : StringProperty(tag, "bait"));
  }
  for (size_t r = 0; r < given.size(); r++) {
    SRow& row = rows->aRow[r];
    row.ulAdrEntryPad = 0;
    // A row shorter than the columns still has room for them all, holding the bait.
    std::vector<Property> all = given[r];
    for (size_t i = all.size(); i < bait.size(); i++) all.push_back(bait[i]);
    status = ToPropArray(all, &row.cValues, &row.lpProps);
    if (FAILED(status)) {
      FreeProws(rows);
      return status;
    }
    row.cValues = (ULONG)given[r].size();
    rows->cRows++;
  }
  SRow& extra = rows->aRow[given.size()];
  extra.ulAdrEntryPad = 0;
  extra.cValues = (ULONG)bait.size();
  LPVOID values = nullptr;
  status = MAPIAllocateMore((ULONG)((bait.size() + 1) * sizeof(SPropValue)), rows, &values);
  for (size_t i = 0; SUCCEEDED(status) && i < bait.size(); i++)
    status = ToPropValue(bait[i], rows, &((LPSPropValue)values)[i]);
  if (FAILED(status)) {
    FreeProws(rows);
    return status;
  }
  extra.lpProps = (LPSPropValue)values;
  *lppRows = rows;
  return S_OK;
}

}  // namespace

HRESULT WINAPI HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                              LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet,
                              LONG crowsMax, LPSRowSet* lppRows) {
  if (lppRows) *lppRows = nullptr;
  plan::Call call(lpTable ? TrackedOf(lpTable) : nullptr, "HrQueryAllRows", "%s, %s, %s, %d",
                  plan::ShowTags(lpPropTags), lpRestriction ? "restriction" : "null",
                  lpSortOrderSet ? "order" : "null", (int)crowsMax);
  if (call.Skips()) return call.status();
  if (lppRows == nullptr || lpTable == nullptr || crowsMax < 0) return MAPI_E_INVALID_PARAMETER;
  if (const plan::Rule* rule = call.Substitute(plan::Kind::Rows))
    return call.Result(GivenRows(rule->rows, lpPropTags, lppRows));
  return call.Result(
      QueryAllRows(lpTable, lpPropTags, lpRestriction, lpSortOrderSet, crowsMax, lppRows));
}

void WINAPI FreeProws(LPSRowSet lpRows) {
  plan::Call call(nullptr, "FreeProws", "%s", "");
  if (lpRows == nullptr) return;
  for (ULONG i = 0; i < lpRows->cRows; i++) MAPIFreeBuffer(lpRows->aRow[i].lpProps);
  MAPIFreeBuffer(lpRows);
}
