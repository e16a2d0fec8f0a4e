// The box's face: title, address line and the connection square.

#include "QenoServer.h"

void QenoServer::paint(JGraphics g, double dx, double dy, JRegion& region, double scale) {
  JModuleObj::paint(g, dx, dy, region, scale);
  const JRect extent = getIExtent(dx, dy, scale);
  const int limit = 3 * depth2;
  if (extent.width > limit && extent.height > limit) {
    g.setJColor(connectedFlag != 0 ? JColor::green : JColor::red);
    g.fillRect(extent.x + depth2, extent.y + depth2, depth2, depth2);
  }
}

void QenoServer::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, "Qeno Server", JRect(x, y + h / 12, w, h / 3));
  JString address;
  {
    JCriticalSection::Guard hold(settingsLock);
    address = hostName + ":" + JInteger::toJString(port, 10);
  }
  drawText(g, address, JRect(x, y + h / 2, w, h / 3));
}
