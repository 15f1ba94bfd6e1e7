# Sourced by the scripts, with $top set: the Qt major version to build with
# (ORDANE_QT: 5 unless set, or 6) and the build folder that goes with it
# (BUILD_DIR: build/ for Qt 5 and build-qt6/ for Qt 6 unless set), both
# exported for the scripts these call in turn.
if [ -z "${ORDANE_QT:-}" ] && [ -n "${BUILD_DIR:-}" ] && [ -f "$BUILD_DIR/CMakeCache.txt" ]; then
  # A tree already configured keeps its Qt (a test of the scripts run in it).
  ORDANE_QT=$(sed -n 's/^ORDANE_QT:STRING=//p' "$BUILD_DIR/CMakeCache.txt")
fi
ORDANE_QT=${ORDANE_QT:-5}
case "$ORDANE_QT" in
  5) qt_suffix= ;;
  6) qt_suffix=-qt6 ;;
  *) echo "ORDANE_QT is 5 or 6, not '$ORDANE_QT'." >&2; exit 2 ;;
esac
export ORDANE_QT
export BUILD_DIR=${BUILD_DIR:-$top/build$qt_suffix}
