#pragma once
// The one error of the document layer. Every libxml2 call whose result can
// mean failure goes through a checking wrapper below, which raises DomError
// with the status that describes the failure; each operation catches it once,
// at its boundary, and returns the status. Absence (no matching element, a
// text or file that does not load) is an ordinary result, never an error.

#include <exception>
#include <new>

#include "platform/com/hresult.h"

namespace fybootp {

class DomError : public std::exception {
public:
    explicit DomError(HRESULT status) noexcept : m_status(status) {}
    HRESULT Status() const noexcept { return m_status; }
    const char* what() const noexcept override;

private:
    HRESULT m_status;
};

// A libxml2 allocation (document, node, string) that came back null.
template <class T>
T* CheckAllocated(T* result) {
    if (result == nullptr) throw DomError(E_OUTOFMEMORY);
    return result;
}

// A handle the operation cannot do without, for instance the document that
// CreateInfoDocument did not make.
template <class T>
T* CheckRequired(T* handle) {
    if (handle == nullptr) throw DomError(E_POINTER);
    return handle;
}

// A libxml2 call that reports failure by a negative result.
void CheckSucceeded(long result, HRESULT failure);

// The status of a failed file operation, in the terms a COM client knows.
HRESULT HresultFromErrno(int error);

// Runs one operation; whatever it raises becomes the status it returns.
template <class Operation>
HRESULT RunDocumentOperation(Operation&& operation) noexcept {
    try {
        operation();
        return S_OK;
    } catch (const DomError& error) {
        return error.Status();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception&) {
        return E_UNEXPECTED;
    }
}

}  // namespace fybootp
