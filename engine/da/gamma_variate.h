// Gamma variates in single precision, the building block of every Dirichlet draw.
#pragma once

namespace kov::da {

// A gamma variate with shape a and scale 1, drawn from the engine's uniform stream.
//
// Shapes of 1 or more: rejection from an exponential envelope, y = -ln(u2) accepted when
// u1 <= exp((a - 1)(ln y - y + 1)), returning a y; for a = 1 the first proposal is taken, an
// exponential variate. Other shapes, including a shape that is not a number, use the
// Ahrens-Dieter method for small shapes. Each uniform pair is (u1, u2) in that order.
//
// Every named quantity (b, p, x, y, v and the result) is rounded to single precision when it is
// formed; the expression that forms it, and the acceptance bound that u2 or u1 is compared with,
// are evaluated in double. The stream is advanced on a copy of the state, which is stored back
// when the variate is returned. A shape that is not a number is rejected for ever, so callers pass
// finite shapes (posterior counts plus the prior always are).
//
// A rejection loop asks once every 2^20 proposals whether the run is to be aborted, and gives up
// when it is: the variate is then abandoned (see GammaDrawAbandoned) and 0 is returned.
float GammaVariate(float a);

// True when a gamma variate was abandoned on an abort request since the last
// ClearGammaDrawAbandoned. Every variate asked for while it is true returns 0 at once, drawing
// nothing, so that the step in progress ends quickly; its draws are meaningless and the caller
// stops the run.
bool GammaDrawAbandoned();
void ClearGammaDrawAbandoned();

}  // namespace kov::da
