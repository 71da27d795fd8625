#include "platform/com/variant.h"

#include "platform/com/unknown.h"

namespace sorvex::com {

void VariantInit(VARIANT* v) {
    v->vt = VT_EMPTY;
    v->cyVal = CY{};
}

HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) {
        return E_INVALIDARG;
    }
    switch (v->vt) {
        case VT_BSTR:
            SysFreeString(v->bstrVal);
            break;
        case VT_DISPATCH:
            if (v->pdispVal != nullptr) {
                v->pdispVal->Release();
            }
            break;
        case VT_UNKNOWN:
            if (v->punkVal != nullptr) {
                v->punkVal->Release();
            }
            break;
        default:
            break;
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    if (dest == src) {
        return S_OK;
    }
    VariantClear(dest);
    dest->vt = src->vt;
    dest->cyVal = src->cyVal;  // the widest member: copies every plain value and pointer
    switch (src->vt) {
        case VT_BSTR:
            dest->bstrVal = src->bstrVal == nullptr ? nullptr : AllocBstr(BstrView(src->bstrVal));
            if (src->bstrVal != nullptr && dest->bstrVal == nullptr) {
                VariantInit(dest);
                return E_OUTOFMEMORY;
            }
            break;
        case VT_DISPATCH:
            if (dest->pdispVal != nullptr) {
                dest->pdispVal->AddRef();
            }
            break;
        case VT_UNKNOWN:
            if (dest->punkVal != nullptr) {
                dest->punkVal->AddRef();
            }
            break;
        default:
            break;
    }
    return S_OK;
}

}  // namespace sorvex::com
