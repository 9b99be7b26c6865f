-- Registry rows that WiX as wixl reads it cannot express, added to each library's component
-- (@C@) by scripts/package: the empty key Programmable ("*": made on install, removed on
-- uninstall).
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('@C@Programmable', 0, 'CLSID\{8CA177E3-B91E-4200-A171-068349162588}\Programmable', '*', '@C@')
