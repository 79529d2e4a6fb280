/* Step tracing of the device operator and the key objects: every step of an
 * operation writes its success or failure line; the first failing step ends
 * the operation with its code. */
#ifndef BRIO_SARNCORE_OPERATOR_STEPS_H
#define BRIO_SARNCORE_OPERATOR_STEPS_H

#include "log/StepTrace.h"

/* Runs a step; on failure traces it and returns its code. */
#define OP_STEP(op, step, call)                     \
    do {                                            \
        unsigned int ulStepRet_ = (call);           \
        if (ulStepRet_ != 0) {                      \
            TRACE_STEP_FAIL((op), (step), ulStepRet_); \
            return ulStepRet_;                      \
        }                                           \
        TRACE_STEP_OK((op), (step));                \
    } while (0)

/* An argument check: "CHECK <name>" failing with the code. */
#define OP_CHECK(op, cond, name, code)                 \
    do {                                               \
        if (!(cond)) {                                 \
            TRACE_STEP_FAIL((op), "CHECK " name, (code)); \
            return (code);                             \
        }                                              \
    } while (0)

/* A failing step that also leaves a value in a size output. */
#define OP_CHECK_SIZE(op, cond, step, code, pulSize, value) \
    do {                                                    \
        if (!(cond)) {                                      \
            *(pulSize) = (value);                           \
            TRACE_STEP_FAIL((op), (step), (code));          \
            return (code);                                  \
        }                                                   \
    } while (0)

#define OP_CHECK_PTR(op, ptr) OP_CHECK(op, (ptr) != nullptr, #ptr, ERR_NULL_ARGUMENT)

#endif
