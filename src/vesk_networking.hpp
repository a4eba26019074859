// Transport of the reports to the collector.
#pragma once

// Builds, signs and sends one report.
void send_data();
