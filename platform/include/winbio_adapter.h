// Adapter-side records of the biometric framework: the pipeline that joins a
// unit's three adapters and the interface tables they export.
#pragma once
#include "wintypes.h"
#include "winerror.h"
#include "winbio_err.h"
#include "winbio_types.h"
#include "winbio_ioctl.h"

// The contexts are the adapters' own records; the platform spells them so.
typedef struct _WINIBIO_SENSOR_CONTEXT WINIBIO_SENSOR_CONTEXT, *PWINIBIO_SENSOR_CONTEXT;
typedef struct _WINIBIO_ENGINE_CONTEXT WINIBIO_ENGINE_CONTEXT, *PWINIBIO_ENGINE_CONTEXT;
typedef struct _WINIBIO_STORAGE_CONTEXT WINIBIO_STORAGE_CONTEXT, *PWINIBIO_STORAGE_CONTEXT;

typedef struct _WINBIO_SENSOR_INTERFACE WINBIO_SENSOR_INTERFACE, *PWINBIO_SENSOR_INTERFACE;
typedef struct _WINBIO_ENGINE_INTERFACE WINBIO_ENGINE_INTERFACE, *PWINBIO_ENGINE_INTERFACE;
typedef struct _WINBIO_STORAGE_INTERFACE WINBIO_STORAGE_INTERFACE, *PWINBIO_STORAGE_INTERFACE;
typedef struct _WINBIO_FRAMEWORK_INTERFACE WINBIO_FRAMEWORK_INTERFACE, *PWINBIO_FRAMEWORK_INTERFACE;

typedef struct _WINBIO_PIPELINE {
    HANDLE SensorHandle;
    HANDLE EngineHandle;
    HANDLE StorageHandle;
    PWINBIO_SENSOR_INTERFACE SensorInterface;
    PWINBIO_ENGINE_INTERFACE EngineInterface;
    PWINBIO_STORAGE_INTERFACE StorageInterface;
    PWINIBIO_SENSOR_CONTEXT SensorContext;
    PWINIBIO_ENGINE_CONTEXT EngineContext;
    PWINIBIO_STORAGE_CONTEXT StorageContext;
    PWINBIO_FRAMEWORK_INTERFACE FrameworkInterface;
} WINBIO_PIPELINE, *PWINBIO_PIPELINE;
static_assert(sizeof(WINBIO_PIPELINE) == 80, "WINBIO_PIPELINE");
static_assert(offsetof(WINBIO_PIPELINE, SensorContext) == 48, "WINBIO_PIPELINE.SensorContext");
