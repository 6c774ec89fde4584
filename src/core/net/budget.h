#pragma once
// The answer bytes the whole process holds at once. Every collected answer body takes its
// bytes from this budget before it grows, and gives them back when the last copy of its
// result goes, so thousands of polls answered with the largest allowed body at the same time
// hold no more than the budget.
#include <chrono>
#include <cstddef>
#include <memory>

namespace vigilo::net {

class AnswerBudget {
public:
    AnswerBudget() = default;
    AnswerBudget(const AnswerBudget&) = delete;
    AnswerBudget& operator=(const AnswerBudget&) = delete;

    // Takes `bytes` more for a holder that already has `alreadyHeld`, waiting while the budget
    // is spent. False when the deadline passes, or when every byte held belongs to a holder that
    // is itself waiting (none of them could ever go on): the caller gives up its answer.
    // A holder alone in the budget always gets what it asks for.
    bool acquire(std::size_t bytes, std::size_t alreadyHeld, std::chrono::steady_clock::time_point deadline);
    void release(std::size_t bytes);

    std::size_t held() const;
    std::size_t peak() const;
    void resetPeak();

private:
    struct State;
    State& state() const;
};

AnswerBudget& answerBudget();

// Gives the free memory of every heap back to the system. Calls that come while a trim runs
// are served by one more round of that trim, so concurrent large answers cost one trim each
// at most and never queue behind each other.
void trimFreeMemory();

// Holds from this size on give the heap's free memory back to the system when they go.
inline constexpr std::size_t kLargeAnswerBytes = std::size_t{1} << 20;

// The share of the budget one answer holds; released when destroyed.
//
// A large answer's bytes are freed by whichever poll thread read it, into that thread's heap,
// where glibc keeps them: dozens of threads reading 8 MB answers would leave hundreds of MB
// resident. So the last holder of a large answer trims the heap once the body is gone (the
// hold is declared before the body it covers, and so outlives it). Small answers, every
// ordinary poll's, never trim: growing the heap back after each would cost more than the read.
class AnswerHold {
public:
    AnswerHold() = default;
    ~AnswerHold();
    AnswerHold(const AnswerHold&) = delete;
    AnswerHold& operator=(const AnswerHold&) = delete;

    std::size_t bytes() const { return bytes_; }
    // Grows the hold to `total` bytes; see AnswerBudget::acquire.
    bool growTo(std::size_t total, std::chrono::steady_clock::time_point deadline);

private:
    std::size_t bytes_ = 0;
};

}  // namespace vigilo::net
