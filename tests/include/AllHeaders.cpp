// Includes every header of include/ so that one compilation checks them all
// together; each header is also compiled on its own by CheckHeaders.cmake.
#include <Board/BoardConfig.h>
#include <Guid/EcFlagHob.h>
#include <Guid/GpioUnlockHob.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/MgmtFiles.h>
#include <Guid/SetupVariable.h>
#include <MgmtLink/Commands.h>
#include <MgmtLink/FrameParse.h>
#include <MgmtLink/Frames.h>
#include <Ppi/EcAccess.h>
#include <Ppi/PciDeviceList.h>
#include <Protocol/LogoOutput.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/MgmtTriggers.h>
#include <Protocol/NicIo.h>
#include <Protocol/SetupBuffer.h>
#include <Protocol/SmbiosRead.h>
#include <Register/EcRegisters.h>
