// The per-object borrow rule. Every instance carries a counter after its
// native fields: 0 free, n > 0 shared borrows in progress, -1 one exclusive
// borrow. A conflicting use fails at once instead of waiting; the guards
// release their borrow on every path out of the call that took it.
#pragma once

#include <utility>

#include "module/error.h"

namespace vorm_zel::py {

using BorrowFlag = Py_ssize_t;
inline constexpr BorrowFlag kExclusivelyBorrowed = -1;

class SharedBorrow {
public:
    [[nodiscard]] static Result<SharedBorrow> take(BorrowFlag& flag) {
        if (flag == kExclusivelyBorrowed) {
            return Unexpected{Error::raise_new(PyExc_RuntimeError, "Already mutably borrowed")};
        }
        ++flag;
        return SharedBorrow(&flag);
    }
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (flag_ != nullptr) {
            --*flag_;
        }
    }

private:
    explicit SharedBorrow(BorrowFlag* flag) noexcept : flag_(flag) {}
    BorrowFlag* flag_;
};

class ExclusiveBorrow {
public:
    [[nodiscard]] static Result<ExclusiveBorrow> take(BorrowFlag& flag) {
        if (flag != 0) {
            return Unexpected{Error::raise_new(PyExc_RuntimeError, "Already borrowed")};
        }
        flag = kExclusivelyBorrowed;
        return ExclusiveBorrow(&flag);
    }
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
        : flag_(std::exchange(other.flag_, nullptr)) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (flag_ != nullptr) {
            *flag_ = 0;
        }
    }

private:
    explicit ExclusiveBorrow(BorrowFlag* flag) noexcept : flag_(flag) {}
    BorrowFlag* flag_;
};

}  // namespace vorm_zel::py
