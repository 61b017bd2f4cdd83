// The record blocks of the private database file as the storage adapter's
// queries read them: a query by subject or by content over the loaded file,
// then the walk through every result, whose identity, index vector, template
// and payload come out of the block's own fields and sizes. Input: byte 0
// picks the query (bits 0-1: all accounts, an account, a secure identity, by
// content) and the index elements of the database (bits 4-6, up to 4), byte 1
// the sub-factor, then the file.
#include <cstring>
#include "storage/storage_context.h"
#include "support/fuzz_unit.h"

namespace {

constexpr int kMostRecords = 300; // more than a file can describe for one query's walk

HRESULT Query(moc_fuzz::Unit& unit, int kind, BYTE subFactor) {
    PWINBIO_PIPELINE pipeline = &unit.pipeline;
    WINBIO_IDENTITY identity = {};
    switch (kind) {
    case 0:
        identity.Type = WINBIO_ID_TYPE_WILDCARD;
        identity.Value.Wildcard = WINBIO_IDENTITY_WILDCARD;
        return unit.storage->QueryBySubject(pipeline, &identity, WINBIO_SUBTYPE_ANY);
    case 1:
        identity = moc_fuzz::AccountIdentity();
        return unit.storage->QueryBySubject(pipeline, &identity, subFactor);
    case 2:
        identity = moc_fuzz::SecureIdentity();
        return unit.storage->QueryBySubject(pipeline, &identity, subFactor);
    default: {
        ULONG elements[4] = {0, 0, 0, 0};
        return unit.storage->QueryByContent(pipeline, subFactor, elements,
                                            pipeline->StorageContext->IndexElementCount);
    }
    }
}

void Start(moc_fuzz::Unit& unit) {
    // As an open would leave it, without reconciling the records away.
    std::strcpy(unit.pipeline.StorageContext->PrivateFilePath, moc_fuzz::kPrivateFilePath);
    unit.pipeline.StorageContext->OpenFlag = 1;
}

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    PWINBIO_PIPELINE pipeline = &unit.pipeline;
    pipeline->StorageContext->IndexElementCount = ((data[0] >> 4) & 7) % 5;
    moc_fuzz::PrivateFile().Lay(data + 2, size - 2);

    SIZE_T available = 0, total = 0;
    unit.storage->GetDatabaseSize(pipeline, &available, &total);
    if (Query(unit, data[0] & 3, data[1]) != S_OK)
        return;
    SIZE_T count = 0;
    Expect(unit.storage->GetRecordCount(pipeline, &count) == S_OK && count != 0,
           "a query that succeeded has results");
    Expect(unit.storage->FirstRecord(pipeline) == S_OK, "the first result");
    for (int i = 0; i < kMostRecords; ++i) {
        WINBIO_STORAGE_RECORD record = {};
        if (unit.storage->GetCurrentRecord(pipeline, &record) == S_OK) {
            Expect(record.Identity != nullptr, "a result has an identity");
            if (record.Identity->Type == WINBIO_ID_TYPE_SID)
                Expect(record.Identity->Value.AccountSid.Size <= SECURITY_MAX_SID_SIZE,
                       "an account fits its field");
            Expect(record.TemplateBlobSize <= MOC_BLOCK_TEMPLATE_SIZE &&
                       record.PayloadBlobSize <= MOC_BLOCK_PAYLOAD_SIZE &&
                       record.IndexElementCount <= MOC_BLOCK_INDEX_ELEMENTS,
                   "the blobs fit their fields");
            // Every byte handed out must be readable.
            volatile BYTE sum = 0;
            for (SIZE_T b = 0; b < record.TemplateBlobSize; ++b)
                sum = sum + record.TemplateBlob[b];
            for (SIZE_T b = 0; b < record.PayloadBlobSize; ++b)
                sum = sum + record.PayloadBlob[b];
            for (SIZE_T e = 0; e < record.IndexElementCount; ++e)
                sum = sum + static_cast<BYTE>(record.IndexVector[e]);
        }
        if (unit.storage->NextRecord(pipeline) != S_OK)
            break;
        Expect(i + 1 < int(count), "no more steps than results");
    }
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kStorage, 2, Start, Run};
